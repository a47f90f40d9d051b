#include "app/running_instance.h"

#include <cstdint>

#include "resources/resource.h"

namespace {
constexpr UINT kShowTimeoutMs = 5000;

HWND PublishedWindow() {
  HANDLE mapping = ::OpenFileMappingA(FILE_MAP_READ, FALSE, kRunningWindowName);
  if (mapping == nullptr) return nullptr;
  HWND window = nullptr;
  void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(std::uint32_t));
  if (view != nullptr) {
    window = static_cast<HWND>(ULongToHandle(*static_cast<const std::uint32_t*>(view)));
    ::UnmapViewOfFile(view);
  }
  ::CloseHandle(mapping);
  return window;
}
}  // namespace

RunningInstance::RunningInstance() {
  mutex_ = ::CreateMutexA(nullptr, FALSE, kRunningMutexName);
  // A name this user may not open belongs to another user's copy, which must not stop this one.
  first_ = mutex_ == nullptr || ::GetLastError() != ERROR_ALREADY_EXISTS;
  if (!first_) return;
  window_ = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                 sizeof(std::uint32_t), kRunningWindowName);
}

RunningInstance::~RunningInstance() {
  if (window_ != nullptr) ::CloseHandle(window_);
  if (mutex_ != nullptr) ::CloseHandle(mutex_);
}

void RunningInstance::PublishWindow(HWND window) {
  if (window_ == nullptr) return;
  void* view = ::MapViewOfFile(window_, FILE_MAP_WRITE, 0, 0, sizeof(std::uint32_t));
  if (view == nullptr) return;
  *static_cast<std::uint32_t*>(view) = HandleToULong(window);
  ::UnmapViewOfFile(view);
}

void RunningInstance::ShowRunningCopy() const {
  HWND window = PublishedWindow();
  // Not yet published: that copy is still starting and shows its window itself.
  if (window == nullptr || !::IsWindow(window)) return;
  // Sent, not posted: the window must be visible before it can be brought to the front. A copy
  // busy for longer is left alone rather than this start hanging on it.
  ::SendMessageTimeoutA(window, WM_COMMAND, ID_TRAY_SHOW, 0, SMTO_ABORTIFHUNG, kShowTimeoutMs,
                        nullptr);
  if (::IsIconic(window)) ::ShowWindow(window, SW_RESTORE);
  // Allowed: this process was just started by the user, so it may hand the foreground on.
  ::SetForegroundWindow(window);
}
