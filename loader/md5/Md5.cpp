#include "loader/md5/Md5.h"

#include <openssl/evp.h>

struct CMd5::Context {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(ctx); }
};

CMd5::CMd5() : m_context(std::make_unique<Context>()) { Restart(); }

CMd5::~CMd5() = default;

void CMd5::Restart() { EVP_DigestInit_ex(m_context->ctx, EVP_md5(), nullptr); }

void CMd5::Update(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(m_context->ctx, bytes.data(), bytes.size());
}

Md5Digest CMd5::Finish() {
  Md5Digest digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(m_context->ctx, digest.data(), &length);
  Restart();
  return digest;
}
