// Small helpers shared by the benchmark binaries.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// Where generated files go: BREVLO_BENCH_DIR, else a folder in memory when there is one.
inline std::string BenchDir() {
    if (const char* dir = std::getenv("BREVLO_BENCH_DIR")) return dir;
    return "/dev/shm/brevlo-bench";
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

inline std::string ReadFileBytes(const std::string& path) {
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
    return bytes;
}
