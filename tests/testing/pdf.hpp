// PDF files for tests, written the way a PDF writer writes them.
#pragma once

#include <string>
#include <vector>

namespace talmo::testing {

// A PDF with one page per entry, the page's text drawn in Helvetica ("" draws
// a line and no text, as a scan holds none), with a cross-reference table
// of true byte offsets. The text must not hold "(", ")" or "\\".
std::string make_pdf(const std::vector<std::string>& pages);

}  // namespace talmo::testing
