// The status console (`/`): search, totals, the last day's picture, and a page of entries with their marks, as HTML without script.
#pragma once

#include <cstdint>
#include <string>

#include "pages/status_pages.h"

struct ConsoleContext {
  std::int64_t now = 0;
  std::int64_t interval = 0;  // the agents' refresh interval
  const ServiceCounters* counters = nullptr;
};

// `page` was read with its totals and history. Times are shown as "5 min ago", with the exact
// time in the service's local time zone (and UTC) on hover.
std::string console_html(const MapPage& page, const StatusQuery& query, const ConsoleContext& context);

// A page in the console's style: its head, the dark header holding `header`, then `main`.
std::string styled_page(const std::string& title, const std::string& header, const std::string& main);
// A page of the console: its header with the search box (holding `search`), then `main`.
std::string console_frame(const std::string& title, const std::string& search, const std::string& main);
// "Who was here": a time field, the present moment in UTC to begin with, that asks /changes who
// held the address then.
std::string moment_form(const std::string& ip, std::int64_t at);
