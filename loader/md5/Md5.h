#pragma once
// An MD5 computation (RFC 1321): OpenSSL's EVP interface on Linux (Md5.cpp),
// the system's CNG on Windows (Md5Windows.cpp).
#include <array>
#include <cstdint>
#include <memory>
#include <span>

using Md5Digest = std::array<std::uint8_t, 16>;

class CMd5 {
 public:
  CMd5();
  ~CMd5();
  CMd5(const CMd5&) = delete;
  CMd5& operator=(const CMd5&) = delete;

  // Starts a new computation, dropping whatever was fed before.
  void Restart();
  void Update(std::span<const std::uint8_t> bytes);
  // Ends the computation and returns the digest; the next Update starts afresh.
  Md5Digest Finish();

  static Md5Digest Of(std::span<const std::uint8_t> bytes) {
    CMd5 md5;
    md5.Update(bytes);
    return md5.Finish();
  }

 private:
  struct Context;
  std::unique_ptr<Context> m_context;
};
