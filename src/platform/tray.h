#pragma once

#include <functional>
#include <memory>

namespace merrowfax {

// The program's icon in the desktop's tray (a StatusNotifierItem), with the
// count of unread messages and a menu to open the window or quit.
class Tray {
public:
    virtual ~Tray() = default;
    // Whether the desktop shows tray icons now: without one, a closed
    // window must end the program, or nothing would bring it back.
    virtual bool available() const = 0;
    virtual void setShown(bool shown) = 0;
    virtual void setUnread(int count) = 0;

    // A click on the icon, or "Open Merrowfax" in its menu.
    std::function<void()> onOpen;
    // "Quit" in its menu.
    std::function<void()> onQuit;
};

class NoTray final : public Tray {
public:
    bool available() const override { return false; }
    void setShown(bool) override {}
    void setUnread(int) override {}
};

// A QSystemTrayIcon; needs a QApplication.
std::unique_ptr<Tray> makeSystemTray();

}  // namespace merrowfax
