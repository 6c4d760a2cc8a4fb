#pragma once
// MD5 (RFC 1321) through OpenSSL's EVP interface, as the device's loaders compute it.
#include <array>
#include <cstdint>
#include <memory>
#include <span>

class CEmuMd5 {
 public:
  using Digest = std::array<std::uint8_t, 16>;

  CEmuMd5();
  ~CEmuMd5();
  CEmuMd5(const CEmuMd5&) = delete;
  CEmuMd5& operator=(const CEmuMd5&) = delete;

  void Restart();
  void Update(std::span<const std::uint8_t> bytes);
  // The digest of everything fed since the last Restart; the computation goes on.
  Digest Current() const;

 private:
  struct Context;
  std::unique_ptr<Context> m_context;
};
