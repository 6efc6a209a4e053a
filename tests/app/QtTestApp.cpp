#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Every widget test needs the one application object; it lives for the whole
// run of the test program and goes before the program ends.
struct QtAppEnvironment : ::testing::Environment {
    void SetUp() override {
        // Widget tests never need a display, whatever the runner passed on.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_app", *argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app.reset(); }
    std::unique_ptr<QApplication> app;
};

[[maybe_unused]] ::testing::Environment* const g_qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

} // namespace
