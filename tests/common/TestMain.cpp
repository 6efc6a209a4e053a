#include <gtest/gtest.h>

#include <cstdlib>

// Every test program runs headless: audio to a real-time dummy sink, Qt
// without a display. A caller's own settings win.
int main(int argc, char** argv) {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
