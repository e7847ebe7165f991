#include "krev/dialog_window.h"

bool DialogWindow::Create() {
    if (window_ != 0) return true;
    return platform_.createDialog(templateId_, this) != 0;
}

DialogWindow::~DialogWindow() {
    if (window_ != 0) platform_.destroyWindow(window_);
}
