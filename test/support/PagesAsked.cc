#include "support/PagesAsked.hh"

#include <map>
#include <sstream>
#include <string>

#include "ListingRequest.hh"

namespace qx::test {

std::vector<std::size_t> PagesAsked(const std::vector<RequestRecord> &requests) {
  std::vector<std::size_t> pages;
  for (const auto &request : requests) {
    const std::string &query = request.query;
    if (query.empty()) {
      pages.push_back(1);
    } else if (query.rfind("page=", 0) == 0 && query.size() > 5 &&
               query.find_first_not_of("0123456789", 5) == std::string::npos) {
      pages.push_back(std::stoul(query.substr(5)));
    } else {
      pages.push_back(0);
    }
  }
  return pages;
}

std::size_t EndOfWindow(std::size_t taken) {
  return taken + qx::quarn_tools::internal::PagesAhead::Window(taken);
}

::testing::AssertionResult AskedPages(const std::vector<std::size_t> &asked, std::size_t needed,
                                      std::size_t most) {
  std::map<std::size_t, int> times;
  for (const std::size_t page : asked) ++times[page];
  std::ostringstream pages;
  for (const std::size_t page : asked) pages << " " << page;
  for (std::size_t page = 1; page <= needed; ++page) {
    if (times[page] != 1)
      return ::testing::AssertionFailure()
             << "page " << page << " asked " << times[page] << " times; pages asked:" << pages.str();
  }
  for (const auto &[page, count] : times) {
    if (count == 0) continue;
    if (page == 0 || page > most || count != 1)
      return ::testing::AssertionFailure() << "page " << page << " asked " << count
                                           << " times, the most is " << most
                                           << "; pages asked:" << pages.str();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace qx::test
