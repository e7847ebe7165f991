// The addresses of the product's pages, each written here exactly as it is handed to the browser.
// Every one carries the scheme that the build chose, https unless it chose http (then some carry
// "http://" and some no scheme, as the product first had them): a page that a bank customer sees
// right before banking, or one that decides which page opens next, comes from no one else.
#pragma once
#include "product_config.h"

namespace web_pages {

#define KREV_PORTAL_ADDRESS KREV_PAGE_SCHEME KREV_WEB_SERVER "/portal/index.htm"
constexpr char kPortal[] = KREV_PORTAL_ADDRESS;
// The same for PortalLaunch, which starts the browser in UTF-16.
constexpr wchar_t kPortalWide[] = L"" KREV_PORTAL_ADDRESS;
constexpr char kNewVersion[] = KREV_PAGE_SCHEME KREV_WEB_SERVER "/newvn/000.htm";
constexpr char kVersionCheck[] = KREV_PAGE_SCHEME KREV_WEB_SERVER "/version/check.htm";
constexpr char kRegistration[] = KREV_PAGE_SCHEME KREV_REG_SERVER "/reg_reader.php";
constexpr char kCertificateArea[] = KREV_BARE_PAGE_SCHEME KREV_WEB_SERVER "/moica.htm";
constexpr char kWalletBalance[] = KREV_BARE_PAGE_SCHEME KREV_WEB_SERVER "/checkbalance.htm";
constexpr char kReaderShop[] = KREV_PAGE_SCHEME KREV_WEB_SERVER "/product.htm";
constexpr char kUsageGuide[] = KREV_BARE_PAGE_SCHEME KREV_WEB_SERVER "/usevyx.htm";
constexpr char kDiscussion[] = KREV_PAGE_SCHEME KREV_WEB_SERVER "/discussion/discussion.aspx";
constexpr char kPageA04[] = KREV_PAGE_SCHEME KREV_WEB_SERVER "/a04.htm";
constexpr char kHome[] = KREV_BARE_PAGE_SCHEME KREV_WEB_SERVER;
constexpr char kCustomerServiceCommand[] = "Go.dll mailto:" KREV_SUPPORT_MAIL;

}  // namespace web_pages
