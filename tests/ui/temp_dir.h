#pragma once

#include <string>

namespace tevra::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + '/' + name; }

 private:
  std::string m_path;
};

// Points TEVRA_PORTS_DIR and XDG_RUNTIME_DIR of this process at fresh
// directories, so processes running side by side share no port and no
// extracted payload.
class IsolatedEnvironment {
 public:
  IsolatedEnvironment();
  const std::string& portsDir() const { return m_ports.path(); }
  const std::string& runtimeDir() const { return m_runtime.path(); }
  const std::string& workDir() const { return m_work.path(); }
  std::string WorkFile(const std::string& name) const { return m_work.File(name); }

 private:
  TempDir m_ports;
  TempDir m_runtime;
  TempDir m_work;
};

}  // namespace tevra::test
