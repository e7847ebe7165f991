// A simulated machine with Krev's resources known to it, and helpers to read what happened.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "krev/app.h"
#include "krev/card_poller.h"
#include "krev/res/resource.h"
#include "platform/sim/sim_platform.h"

inline platform::sim::MenuItem item(const char* caption, unsigned id, bool checked = false) {
    platform::sim::MenuItem made;
    made.caption = caption;
    made.id = id;
    made.checked = checked;
    return made;
}

inline std::vector<platform::sim::MenuItem> trayMenuResource() {
    platform::sim::MenuItem popup = item("Popup", 0);
    popup.popup = {item("網路ATM功能區", ID_WEBATM_AREA),
                      item("自然人憑證功能區", ID_CERTIFICATE_AREA),
                      item("查詢電子錢包餘額", ID_WALLET_BALANCE),
                      item("", 0),
                      item("Vyx自動連線精靈(開/關)", ID_AUTO_CONNECT, true),
                      item("", 0),
                      item("Quenby產品註冊", ID_PRODUCT_REGISTRATION),
                      item("客戶服務", ID_CUSTOMER_SERVICE),
                      item("購買Quenby讀卡機", ID_BUY_READER),
                      item("", 0),
                      item("如何使用Vyx", ID_HOW_TO_USE),
                      item("版本", ID_VERSION),
                      item("", 0),
                      item("結束", ID_EXIT)};
    return {popup};
}

class KrevFixture : public ::testing::Test {
protected:
    KrevFixture() {
        sim.defineDialog(IDD_ABOUT_BOX, KREV_ABOUT_CAPTION, {1, 2});  // OK and Cancel are disabled
        sim.defineDialog(IDD_SELECT_READER, KREV_READER_CAPTION);
        sim.defineMenu(IDR_TRAY_MENU, trayMenuResource());
    }
    ~KrevFixture() override { app.reset(); }

    // Starts Krev as the process would; the event loop returns at once in the simulation.
    void startKrev() {
        app = std::make_unique<CKrevSystemTrayApp>(sim);
        app->InitInstance();
    }
    CKrevSystemTrayDlg& dialog() { return *app->dialog(); }
    platform::WindowHandle mainWindow() { return app->dialog()->handle(); }
    platform::WindowHandle trayWindow() { return sim.findWindow("CSystemTray Dummy Window"); }

    std::vector<std::string> startedCommands() const {
        std::vector<std::string> commands;
        for (const auto& start : sim.starts) commands.push_back(start.commandLine);
        return commands;
    }

    platform::sim::SimPlatform sim;
    std::unique_ptr<CKrevSystemTrayApp> app;
};
