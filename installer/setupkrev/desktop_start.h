// The installer's finish page runs elevated, and may run as another user than the one whose
// desktop it is on (an administrator's name typed into a standard user's consent prompt, or
// "Run as" on Windows XP). Krev is for the user who owns the desktop, with that user's ordinary
// rights: it starts with the token of that user's shell, or with the installer's own token only
// when that is the same user's and no more than the shell's; otherwise nothing starts now, and
// Krev starts at the next logon.
#pragma once

namespace desktop_start {

enum class ShellUser { unknown, installersOwn, another };

class Starter {
public:
    // The token of the shell's process (its desktop window's, or its taskbar's), taken with the
    // debug privilege enabled, which an administrator needs to open another user's process.
    virtual bool takeShellToken() = 0;
    // Through the Secondary Logon service (CreateProcessWithTokenW, from Windows Vista on).
    virtual bool startWithShellToken() = 0;
    virtual ShellUser shellUser() = 0;
    // The installer's token is the elevated half of a split one: more than the shell has.
    virtual bool elevatedAboveTheShell() = 0;
    virtual bool startWithOwnToken() = 0;

protected:
    ~Starter() = default;
};

// True when Krev was started.
bool start(Starter& starter);

}  // namespace desktop_start
