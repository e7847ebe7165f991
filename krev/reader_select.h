// The reader-selection dialog: offers the readers that SC.dll reports and saves the choice.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "krev/dialog_window.h"

constexpr std::size_t kReaderListSize = 255 * 255;
constexpr int kMaxReaderNames = 255;
constexpr std::size_t kReaderNameSlot = 255;

// Splits the library's list ("name,name,", ended by a zero byte) into the names that a comma
// follows: at most 255, each cut to 254 bytes. Text after the last comma is not a name. A list
// without a zero byte in its `size` bytes ends at the buffer's end.
std::vector<std::string> splitReaderList(const char* buffer, std::size_t size);

class SelectReaderDlg : public DialogWindow {
public:
    SelectReaderDlg(platform::Platform& platform, CommandTarget& application);

    bool onInitDialog(platform::WindowHandle self) override;
    bool onCommand(unsigned id, unsigned code) override;
    void onTimer(unsigned) override {}
    void onInitMenuPopup(platform::MenuHandle) override {}
    bool onDrawItem(const platform::DrawItemInfo&) override { return false; }

    void RefreshReaderList();
    void OnOK();
    void OnCancel();

    // How many application commands that this dialog passed on are under way. Exit among them
    // must wait: deleting the main dialog deletes this one.
    int commandDepth() const { return commandDepth_; }
    // Called each time a command passed on to the application has returned.
    std::function<void()> onCommandPassedOn;

private:
    void fillReaderList();

    CommandTarget& application_;
    int commandDepth_ = 0;
};
