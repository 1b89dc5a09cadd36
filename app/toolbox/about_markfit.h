// The About window `AboutMarkfit`, opened from the toolbox's application
// menu.
#pragma once

#include "ui/task.h"
#include "ui/window_definition.h"

namespace app {

namespace about {
inline constexpr int kPicture = 1;
inline constexpr int kAuthorPrompt = 2;
inline constexpr int kAuthor = 3;
inline constexpr int kMailPrompt = 4;
inline constexpr int kMail = 5;
inline constexpr int kLinkPrompt = 6;
inline constexpr int kLink = 7;
inline constexpr int kLinkRegion = 8;
inline constexpr int kPurpose = 9;
inline constexpr int kTitle = 10;
inline constexpr int kClose = 11;

inline constexpr const char* kAuthorText = "The Markfit developers, Norway";
inline constexpr const char* kMailText = "markfit@example.org";
inline constexpr const char* kWebAddress = "https://markfit.example.org/";
}  // namespace about

const ui::WindowDef& about_definition();

// Shows the About window until "&Close"; placement in section
// "AboutMarkfit"; response 2. The link turns red under the mouse, blue when
// it leaves, and opens the web address when the mouse button is released
// over it (the outcome is not reported).
ui::Task AboutMarkfit();

}  // namespace app
