// The logon page (/logon), as HTML without script: who is recorded at the browser's address, and its form.
#include "pages/logon_page.h"

#include "pages/console_page.h"
#include "pages/html_text.h"

namespace {

constexpr const char* kLogonStyle =
    "<style>section.logon{max-width:560px;margin:24px auto;padding:20px 24px;background:#fff;"
    "border:1px solid #d0d7de;border-radius:8px}section.logon h2{margin:0 0 12px;font-size:20px}"
    "section.logon form{display:flex;gap:10px;margin:16px 0}"
    "section.logon button{padding:8px 20px;border:1px solid #d0d7de;border-radius:6px;background:#fff;"
    "font:inherit;font-weight:600}section.logon button.on{border-color:#2da44e;background:#2da44e;color:#fff}"
    "section.logon .url{word-break:break-all}</style>";

std::string header() { return "<h1>Pellamor <span>logon to the web</span></h1>"; }

std::string back_link(const std::string& back_to) {
  return "<p class=\"url\">Then back to <a href=\"" + html_escape(back_to) + "\">" + html_escape(back_to) +
         "</a></p>";
}

}  // namespace

std::string logon_page_html(const LogonPageView& view) {
  const std::string holder = view.holder.empty() ? "nobody" : "<b>" + html_name(view.holder) + "</b>";
  return styled_page("log on", header(),
                     // Under the service's usual "no-referrer" a browser sends its form with "Origin: null",
                     // which tells the service's own form from another site's no better than none.
                     "<meta name=\"referrer\" content=\"same-origin\">" + std::string(kLogonStyle) +
                     "<section class=\"logon\"><h2>Log on to use the web</h2>"
                     "<p>This computer's address is <b>" + html_escape(view.address) + "</b>. Recorded here now: "
                     "<span class=\"holder\">" + holder + "</span>.</p>"
                     "<form method=\"post\" action=\"/logon\"><input type=\"hidden\" name=\"token\" value=\"" +
                     html_escape(view.token) + "\"><input type=\"hidden\" name=\"url\" value=\"" +
                     html_escape(view.back_to) + "\"><button class=\"on\" name=\"action\" value=\"login\">Log on"
                     "</button><button name=\"action\" value=\"logout\">Log off</button></form>" +
                     (view.back_to.empty() ? "" : back_link(view.back_to)) +
                     "<p class=\"muted\">On a computer of the domain your Windows logon is used; elsewhere the "
                     "browser asks for your domain user name and password itself, and sends this service only "
                     "a proof of them. A logon lasts until you log off or the working day is over.</p>"
                     "</section>\n");
}

std::string logon_result_html(const std::string& message, const std::string& back_to, bool go_back) {
  const std::string again = "/logon" + (back_to.empty() ? "" : "?url=" + back_to);
  // A refresh, not a redirect: the page's policy lets a form lead only to this service.
  const std::string refresh =
      go_back ? "<meta http-equiv=\"refresh\" content=\"0; url=" + html_escape(back_to) + "\">" : "";
  return styled_page("log on", header(),
                     refresh + std::string(kLogonStyle) + "<section class=\"logon\"><h2 class=\"result\">" +
                         message + "</h2>" + (go_back ? back_link(back_to) : "") + "<p><a href=\"" +
                         html_escape(again) + "\">Back to the logon page</a></p></section>\n");
}
