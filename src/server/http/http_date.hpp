// HTTP dates, as the validators write them and If-Modified-Since reads them.
#pragma once

#include <cstddef>

namespace vantrel {

// Date parsing shared by the header reader (If-Modified-Since): 0 when no pattern matched.
long date_to_time(const char* text);
// "Sun, 06 Nov 1994 08:49:37 GMT" in UTC with English names.
void format_http_date(long t, char* out, std::size_t size);

}  // namespace vantrel
