// The addresses of the product's pages. Some carry the "http://" scheme and some do not;
// each is written here exactly as it is handed to the browser.
#pragma once
#include "product_config.h"

namespace web_pages {

constexpr char kPortal[] = "http://" KREV_WEB_SERVER "/portal/index.htm";
constexpr char kNewVersion[] = "http://" KREV_WEB_SERVER "/newvn/000.htm";
constexpr char kVersionCheck[] = "http://" KREV_WEB_SERVER "/version/check.htm";
constexpr char kRegistration[] = "http://" KREV_REG_SERVER "/reg_reader.php";
constexpr char kCertificateArea[] = KREV_WEB_SERVER "/moica.htm";
constexpr char kWalletBalance[] = KREV_WEB_SERVER "/checkbalance.htm";
constexpr char kReaderShop[] = "http://" KREV_WEB_SERVER "/product.htm";
constexpr char kUsageGuide[] = KREV_WEB_SERVER "/usevyx.htm";
constexpr char kDiscussion[] = "http://" KREV_WEB_SERVER "/discussion/discussion.aspx";
constexpr char kPageA04[] = "http://" KREV_WEB_SERVER "/a04.htm";
constexpr char kHome[] = KREV_WEB_SERVER;
constexpr char kCustomerServiceCommand[] = "Go.dll mailto:" KREV_SUPPORT_MAIL;

}  // namespace web_pages
