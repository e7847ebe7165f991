// A modeless dialog built from a numbered template. The window outlives the members of the
// class derived from this one: it is destroyed last, in this base's destructor.
#pragma once
#include "platform/platform.h"

// Menu and accelerator commands in this range that a dialog does not answer go on to the
// application; the system's own commands (0xF000 and up) and control notifications do not.
inline bool isApplicationCommand(unsigned id, unsigned code) {
    return platform::isMenuOrAccelerator(code) && id >= 0x8000 && id < 0xF000;
}

// Who answers the commands that a dialog does not answer itself.
class CommandTarget {
public:
    // False when the id is not in this target's table.
    virtual bool OnCommand(unsigned id) = 0;

protected:
    ~CommandTarget() = default;
};

class DialogWindow : public platform::DialogEvents {
public:
    DialogWindow(const DialogWindow&) = delete;
    DialogWindow& operator=(const DialogWindow&) = delete;

    // Creates the window (hidden), owned by `owner` when one is given; the dialog's
    // initialisation runs during this call.
    bool Create(platform::WindowHandle owner = 0);
    platform::WindowHandle handle() const { return window_; }

protected:
    DialogWindow(platform::Platform& platform, unsigned templateId) : platform_(platform), templateId_(templateId) {}
    virtual ~DialogWindow();

    // The base initialisation that every dialog runs first.
    bool onInitDialog(platform::WindowHandle self) override {
        window_ = self;
        return true;
    }

    platform::Platform& platform_;

private:
    unsigned templateId_;
    platform::WindowHandle window_ = 0;
};
