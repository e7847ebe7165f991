#include "krev/reader_select.h"

#include <cstring>

#include "krev/card_poller.h"
#include "krev/res/resource.h"
#include "krev/settings.h"
#include "platform/cp950.h"

std::vector<std::string> splitReaderList(const char* buffer, std::size_t size) {
    const char* end = static_cast<const char*>(std::memchr(buffer, '\0', size));
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - buffer) : size;
    std::vector<std::string> names;
    char slot[kReaderNameSlot];
    for (std::size_t start = 0; names.size() < static_cast<std::size_t>(kMaxReaderNames);) {
        const char* comma = static_cast<const char*>(std::memchr(buffer + start, ',', length - start));
        if (comma == nullptr) break;
        const std::size_t nameLength = static_cast<std::size_t>(comma - buffer) - start;
        cp950::copyBounded(slot, sizeof slot, buffer + start, nameLength);
        names.emplace_back(slot);
        start += nameLength + 1;
    }
    return names;
}

SelectReaderDlg::SelectReaderDlg(platform::Platform& platform, CommandTarget& application)
    : DialogWindow(platform, IDD_SELECT_READER), application_(application) {}

bool SelectReaderDlg::onInitDialog(platform::WindowHandle self) {
    DialogWindow::onInitDialog(self);
    fillReaderList();
    return true;
}

bool SelectReaderDlg::onCommand(unsigned id, unsigned code) {
    if (code == platform::kBnClicked && id == 1) {
        OnOK();
        return true;
    }
    if (code == platform::kBnClicked && id == 2) {
        OnCancel();
        return true;
    }
    if (!isApplicationCommand(id, code)) return false;
    ++commandDepth_;
    const bool answered = application_.OnCommand(id);
    --commandDepth_;
    if (onCommandPassedOn) onCommandPassedOn();
    return answered;
}

void SelectReaderDlg::RefreshReaderList() {
    platform_.comboReset(handle(), IDC_READER_LIST);
    fillReaderList();
}

void SelectReaderDlg::fillReaderList() {
    auto list = std::make_unique<char[]>(kReaderListSize);  // zero-filled
    platform_.scGetReaderList(kCardLibraryAccess, list.get());
    const std::vector<std::string> names = splitReaderList(list.get(), kReaderListSize);
    for (std::size_t position = 0; position < names.size(); ++position) {
        platform_.comboInsert(handle(), IDC_READER_LIST, static_cast<int>(position), names[position].c_str());
    }
    platform_.comboSelect(handle(), IDC_READER_LIST, 0);
}

// Saves the selected reader's name byte for byte, then hides the dialog.
void SelectReaderDlg::OnOK() {
    const int selection = platform_.comboSelection(handle(), IDC_READER_LIST);
    if (selection >= 0) {
        const std::string name = platform_.comboText(handle(), IDC_READER_LIST, selection);
        settings::write(platform_, settings::kReaderSection, settings::kSelectKey, name.c_str());
    }
    platform_.showWindow(handle(), platform::kShowHide);
}

void SelectReaderDlg::OnCancel() { platform_.showWindow(handle(), platform::kShowHide); }
