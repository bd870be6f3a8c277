#include "ReportGenerator.h"

#include <cstdio>
#include <cstdlib>
#include <string>

// Writes the benchmark's report as a spool file: bench-make-report OUT.PRN [PAGES]
int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "Usage: bench-make-report OUT.PRN [PAGES]\n");
        return 2;
    }
    const int pages = argc == 3 ? std::atoi(argv[2]) : 1000;
    if (pages <= 0) {
        std::fprintf(stderr, "bench-make-report: PAGES must be a positive number\n");
        return 2;
    }
    // The spooler's end marker, as a DOS program's printer driver leaves it.
    const std::string text = makeReport(pages) + std::string("\r\0", 2);
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
