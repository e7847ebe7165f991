#include "krev/dialog_window.h"

bool DialogWindow::Create(platform::WindowHandle owner) {
    if (window_ != 0) return true;
    return platform_.createDialog(templateId_, this, owner) != 0;
}

DialogWindow::~DialogWindow() {
    if (window_ != 0) platform_.destroyWindow(window_);
}
