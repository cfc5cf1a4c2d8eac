// One QApplication for the whole program, offscreen unless chosen otherwise.
#include <gtest/gtest.h>

#include <QApplication>
#include <array>
#include <memory>

namespace {

class QtTestEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
      qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    m_app = std::make_unique<QApplication>(m_argc, m_argv.data());
  }
  void TearDown() override { m_app.reset(); }

 private:
  int m_argc = 1;
  char m_name[16] = "tevra-ui-test";
  std::array<char*, 2> m_argv = {m_name, nullptr};
  std::unique_ptr<QApplication> m_app;
};

// gtest takes the environment over.
// NOLINTNEXTLINE(cert-err58-cpp,cppcoreguidelines-owning-memory)
testing::Environment* const kQtEnvironment =
    testing::AddGlobalTestEnvironment(std::make_unique<QtTestEnvironment>().release());

}  // namespace
