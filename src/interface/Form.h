// The normalization forms a rules folder may name: the three of the exported class, and
// NFKC, which a folder names under a key of its own ("NFKCfilepath").
#ifndef KAVEX_INTERFACE_FORM_H
#define KAVEX_INTERFACE_FORM_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kavex {

enum class Form : uint8_t { kNfd = 0, kNfc = 1, kNfkd = 2, kNfkc = 3 };
constexpr std::size_t kFormCount = 4;

// "NFD", "NFC", "NFKD", "NFKC".
const char* FormName(Form form);
// The key config.ini names the form's rules file under: "NFDfilepath" and so on.
std::string FormKey(Form form);
// A form by its name in any case; false for any other text.
bool FormFromName(const std::string& name, Form& form);

}  // namespace kavex

#endif  // KAVEX_INTERFACE_FORM_H
