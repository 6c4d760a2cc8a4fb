#include "loader/md5/Md5.h"

#include <windows.h>
#include <bcrypt.h>

// CNG hash objects cannot be reset: a restart makes a new one. The algorithm
// provider is opened once per computation object and kept with it.
struct CMd5::Context {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;

  Context() { BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0); }
  ~Context() {
    DropHash();
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  void DropHash() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    hash = nullptr;
  }
  void NewHash() {
    DropHash();
    if (algorithm != nullptr && !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
      hash = nullptr;
  }
};

CMd5::CMd5() : m_context(std::make_unique<Context>()) { Restart(); }

CMd5::~CMd5() = default;

void CMd5::Restart() { m_context->NewHash(); }

void CMd5::Update(std::span<const std::uint8_t> bytes) {
  // BCryptHashData takes a 32-bit length: feed larger spans in pieces.
  constexpr std::size_t kPiece = 1u << 30;
  while (!bytes.empty() && m_context->hash != nullptr) {
    const std::size_t n = bytes.size() < kPiece ? bytes.size() : kPiece;
    BCryptHashData(m_context->hash, const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(n), 0);
    bytes = bytes.subspan(n);
  }
}

Md5Digest CMd5::Finish() {
  // Without a hash object (CNG unavailable) the digest stays all zero, which
  // never matches an image's digest, so a write is refused rather than trusted.
  Md5Digest digest{};
  if (m_context->hash != nullptr)
    BCryptFinishHash(m_context->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  Restart();
  return digest;
}
