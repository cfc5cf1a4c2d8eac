#pragma once

#include "ui/windows/windows_api.h"

#include <string>

#include "ui/windows/port_names.h"

namespace tevra::win32 {

// The "com settings" dialog, built from its table: picks the port and the
// rate. The indexes go in and come back out (-1 for a box with no selected
// row); the state only goes in. Hovering over the port box or a row of its
// list shows what Windows knows of that port (PortNames); nothing here opens
// a port.
class PortSettingsWindow {
 public:
  PortSettingsWindow(int portIndex, int baudIndex, int state);
  PortSettingsWindow(const PortSettingsWindow&) = delete;
  PortSettingsWindow& operator=(const PortSettingsWindow&) = delete;
  ~PortSettingsWindow() = default;

  // Runs the dialog modally over owner; true when it was confirmed.
  bool Run(HWND owner);

  int portIndex() const { return portIndex_; }
  int baudIndex() const { return baudIndex_; }

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK ListProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                   UINT_PTR id, DWORD_PTR self);
  void OnInitDialog();
  void OnOK();
  void AddPortTips();
  // The text of the tip over window: the hovered row's port in the list,
  // the selected one elsewhere.
  const wchar_t* TipFor(HWND window);

  HWND hwnd_ = nullptr;
  HWND tips_ = nullptr;
  HWND list_ = nullptr;
  int hoveredRow_ = -1;
  std::wstring tipText_;
  int portIndex_;
  int baudIndex_;
  int state_;
  PortNames ports_;
};

}  // namespace tevra::win32
