#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

// Every widget test needs the one application object; it lives for the whole
// run of the test program and goes before the program ends.
namespace {

class QtAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // Widget tests never need a display, whatever the runner passed on.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_app";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] ::testing::Environment* const g_qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

} // namespace
