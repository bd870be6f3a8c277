#pragma once

#include <string>

// A long report as a DOS accounting program prints it, in code page 852: per page a bold
// heading, a boxed table of ~46 rows with Czech item names, condensed notes, a double
// rule, 58 lines in all, each page ended by a form feed. Deterministic, so that runs
// compare. The spooler's end marker is not included.
std::string makeReport(int pages);
