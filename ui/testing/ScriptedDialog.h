#pragma once
// Test support for the windows' tests and screenshot tools: a dialog wired to
// the scripted upgrader and to one stand-in image of 160 bytes with its MD5
// digest (an item whose name ends in "_MD5" is the digest, any other item the
// image), so the embedded-image check passes as in a real run.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "loader/md5/Md5.h"
#include "ui/FlashDlg.h"
#include "ui/testing/ScriptedUpgrader.h"

class CStandInItems {
 public:
  CStandInItems() : m_image(160, 0x5a) {
    const Md5Digest digest = CMd5::Of(m_image);
    m_digest.assign(digest.begin(), digest.end());
  }

  // Serves the items for as long as this object lives.
  CFlashDlg::ImageLookup Lookup() const {
    return [this](std::string_view name) -> std::optional<std::span<const std::uint8_t>> {
      return std::span<const std::uint8_t>(name.ends_with("_MD5") ? m_digest : m_image);
    };
  }

 private:
  std::vector<std::uint8_t> m_image;
  std::vector<std::uint8_t> m_digest;
};

// Puts `dialog` in the given mode (version check on, the application's
// product ID) with `script`'s upgrader and `items`.
inline void SetUpScriptedDialog(CFlashDlg& dialog, const std::shared_ptr<UpgraderScript>& script,
                                const CStandInItems& items, bool silent = false, bool progress = false) {
  dialog.SetMode(silent, true, progress, nullptr, 0, 0x0c01);
  dialog.SetUpgraderFactory([script] { return std::make_unique<CScriptedUpgrader>(script); });
  dialog.SetImageLookup(items.Lookup());
}
