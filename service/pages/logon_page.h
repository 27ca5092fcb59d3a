// The logon page (/logon), as HTML without script: who is recorded at the browser's address, and its form.
#pragma once

#include <string>

struct LogonPageView {
  std::string address;  // the browser's own address
  std::string holder;   // who is recorded there now, as the Squid helper names them; empty: nobody
  std::string token;    // the form's anti-forgery token
  std::string back_to;  // a returnable URL (see returnable_url) to go back to after the logon, or empty
};

// The page with its "Log on" and "Log off" buttons.
std::string logon_page_html(const LogonPageView& view);
// What a logon or logoff came to (`message`, HTML), with the way back to the page; after a logon
// with a URL to go back to, the browser goes there.
std::string logon_result_html(const std::string& message, const std::string& back_to, bool go_back);
