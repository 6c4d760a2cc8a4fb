#include "emulator/EmuMd5.h"

#include <openssl/evp.h>

struct CEmuMd5::Context {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(ctx); }
};

CEmuMd5::CEmuMd5() : m_context(std::make_unique<Context>()) { Restart(); }

CEmuMd5::~CEmuMd5() = default;

void CEmuMd5::Restart() { EVP_DigestInit_ex(m_context->ctx, EVP_md5(), nullptr); }

void CEmuMd5::Update(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(m_context->ctx, bytes.data(), bytes.size());
}

CEmuMd5::Digest CEmuMd5::Current() const {
  Digest digest{};
  EVP_MD_CTX* copy = EVP_MD_CTX_new();
  unsigned int length = 0;
  if (copy != nullptr && EVP_MD_CTX_copy_ex(copy, m_context->ctx) == 1) {
    EVP_DigestFinal_ex(copy, digest.data(), &length);
  }
  EVP_MD_CTX_free(copy);
  return digest;
}
