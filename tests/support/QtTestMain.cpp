#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>
#include <QApplication>

namespace {

// Widget tests share one application object. It exists only while tests run, so that listing
// the tests needs no display, and it is destroyed before Qt's own statics are.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);  // a direct run needs no display either
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[16] = "tarvik_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);  // gtest takes ownership
    return RUN_ALL_TESTS();
}
