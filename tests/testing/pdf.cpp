#include "testing/pdf.hpp"

#include <cstdio>

namespace talmo::testing {

std::string make_pdf(const std::vector<std::string>& pages) {
  std::vector<std::string> objects;  // object n is objects[n - 1]
  const int n_pages = static_cast<int>(pages.size());
  const int font = 3 + 2 * n_pages;
  std::string kids;
  for (int i = 0; i < n_pages; ++i) kids += std::to_string(3 + 2 * i) + " 0 R ";
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n_pages) + " >>");
  for (int i = 0; i < n_pages; ++i) {
    const std::string content =
        pages[i].empty() ? "10 10 m 200 200 l S" : "BT /F1 18 Tf 72 700 Td (" + pages[i] + ") Tj ET";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents " + std::to_string(4 + 2 * i) +
                      " 0 R /Resources << /Font << /F1 " + std::to_string(font) + " 0 R >> >> >>");
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream");
  }
  objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char line[21];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

}  // namespace talmo::testing
