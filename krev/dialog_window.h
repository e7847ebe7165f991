// A modeless dialog built from a numbered template. The window outlives the members of the
// class derived from this one: it is destroyed last, in this base's destructor.
#pragma once
#include "platform/platform.h"

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

    // Creates the window (hidden); the dialog's initialisation runs during this call.
    bool Create();
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
