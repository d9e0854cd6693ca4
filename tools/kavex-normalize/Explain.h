// kavex-normalize --explain: each line of the input normalized as the tool normalizes it,
// followed by one line per step: every U+06BE moved, then every rule applied.
#ifndef KAVEX_TOOLS_NORMALIZE_EXPLAIN_H
#define KAVEX_TOOLS_NORMALIZE_EXPLAIN_H

#include "Files.h"
#include "FormRules.h"
#include "Options.h"

namespace kavex::cli {

// Reads the whole input (explaining is for a few lines, not a corpus) and writes each line
// and its steps to `output`, in the tool's encoding. Throws Failure for invalid input.
void ExplainInput(const FormRules& rules, const Input& input, Encoding encoding, Output& output);

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_NORMALIZE_EXPLAIN_H
