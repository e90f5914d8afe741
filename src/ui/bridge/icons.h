#pragma once

#include <QString>

namespace merrowfax::ui {

// The icon of the desktop's theme (Adwaita) that means what a symbol name of
// the screens means ("phone", "paperplane.fill", ...); the one table of them.
// An unknown symbol gives an empty name.
QString themeIcon(const QString& symbol);

// Selects the Adwaita theme, searching the system's icon folders too: some
// platforms (offscreen, minimal) search none of them by themselves.
void useIconTheme();

}  // namespace merrowfax::ui
