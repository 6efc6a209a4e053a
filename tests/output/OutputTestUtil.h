#pragma once
// Helpers of the output, engine and end-to-end tests.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>
#include <string>
#include <thread>

#include "output/VideoWindow.h"

// Generous: the CI machine is small and shared.
constexpr int kTestWaitMs = 30000;

// Polls cond until it holds or timeoutMs passes.
template <typename Cond>
bool WaitFor(Cond cond, int timeoutMs = kTestWaitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// n bytes of deterministic noise.
inline std::string Noise(size_t n, uint32_t seed = 12345) {
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
    return bytes;
}

// A fresh directory, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sivo-test-XXXXXX").string();
        path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { m_old ? setenv(m_name, m_old->c_str(), 1) : unsetenv(m_name); }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// A display that records what it is shown, drawing each picture at its own
// size; the presentation thread calls it.
class RecordingWindow : public VideoWindow {
public:
    std::atomic<int> frames{0}, width{0}, height{0};
    std::atomic<int> centre{-1};  // the middle pixel of the last picture as 0xRRGGBB
    void ShowFrame(std::shared_ptr<const Picture> picture) override {
        const int w = picture->Width(), h = picture->Height();
        m_bits.resize(size_t(w) * h * 4);
        if (!picture->Paint(m_bits.data(), ptrdiff_t{4} * w, w, h))
            return;
        width = w, height = h;
        centre = Rgb(m_bits.data(), w / 2, h / 2);
        OnPicture(m_bits.data());
        ++frames;
    }

protected:
    // The picture just drawn, width x height pixels of 4 bytes (blue, green,
    // red, 0xFF), rows 4 * width bytes apart.
    virtual void OnPicture(const uint8_t*) {}
    // Its pixel at (x, y) as 0xRRGGBB.
    int Rgb(const uint8_t* bits, int x, int y) const {
        const uint8_t* px = bits + (size_t(y) * width + x) * 4;
        return px[2] << 16 | px[1] << 8 | px[0];
    }

private:
    std::vector<uint8_t> m_bits;
};
