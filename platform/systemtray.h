#pragma once

#include <optional>

// Whether the desktop shows tray icons. Many do not (a plain GNOME session, the
// offscreen platform): there a window hidden "into the tray" could never be
// brought back.
namespace SystemTray {

bool isAvailable();

// Test seam: answer `available` from now on; std::nullopt asks the desktop again.
void setAvailableForTesting(std::optional<bool> available);

} // namespace SystemTray
