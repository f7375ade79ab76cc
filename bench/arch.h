// The provider for 32-bit programs beside the 64-bit one: ZentravaKSPArchBench,
// built for both, measures in one process of each build in turn
// (arch_main.cpp), and the report sets the runs side by side (arch_report.cpp).
#pragma once

#include <string>
#include <vector>

namespace bench {

// One operation of one run: medians in µs per call (direct < 0: no direct side).
struct ArchRow {
    std::string name;
    double provider = 0;
    double direct = -1;
};

// "arch-<x64|x86>-<round>.tsv" in the output folder.
std::wstring ArchSampleFile(const std::wstring& dir, const char* arch, int round);

bool WriteArchSamples(const std::wstring& file, const std::vector<ArchRow>& rows);
bool ReadArchSamples(const std::wstring& file, std::vector<ArchRow>* rows);

// arch.md in `dir`, from the runs 1..rounds of both builds.
bool WriteArchReport(const std::wstring& dir, int rounds, const std::string& loadStart, const std::string& loadEnd);

}  // namespace bench
