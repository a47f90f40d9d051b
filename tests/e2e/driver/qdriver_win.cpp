// Test driver: reaches the program's windows from outside the way a user's clicks would, and reads
// what they show. It runs under the same wineserver as the program and answers one command per line
// on stdin (fields separated by tabs) with one line on stdout: "OK <result>" or "ERR <reason>".
// Texts in results escape backslash, tab, CR, LF and non-ASCII bytes (\\ \t \r \n \xHH).
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr UINT kSendTimeoutMs = 5000;
constexpr UINT kClickWaitMs = 20000;
constexpr int kMessageBoxTextId = 0xFFFF;

HANDLE heldFile = INVALID_HANDLE_VALUE;

struct Failure {
  std::string reason;
};

std::string Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 'n') {
      out += '\n';
    } else if (c == 'r') {
      out += '\r';
    } else if (c == 't') {
      out += '\t';
    } else if (c == 'x' && i + 2 < text.size() + 0) {
      out += static_cast<char>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> Split(const std::string& line) {
  // Keeps empty fields, a trailing one included: setting an empty text is a command too.
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = line.find('\t', start);
    fields.push_back(Unescape(line.substr(start, tab - start)));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

std::string WindowText(HWND hwnd) {
  char buffer[65536];
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof(buffer), reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, kSendTimeoutMs, &length)) {
    throw Failure{"window does not answer WM_GETTEXT"};
  }
  return std::string(buffer, length);
}

std::string ToAnsi(const std::wstring& wide) {
  int bytes = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &ansi[0], bytes,
                          nullptr, nullptr);
  }
  return ansi;
}

std::string ClassName(HWND hwnd) {
  char name[256] = {};
  ::GetClassNameA(hwnd, name, sizeof(name));
  return name;
}

struct FindRequest {
  std::string caption;
  std::string className;  // empty: any class
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM param) {
  auto* request = reinterpret_cast<FindRequest*>(param);
  char title[512] = {};
  ::GetWindowTextA(hwnd, title, sizeof(title));
  if (request->caption == title &&
      (request->className.empty() || request->className == ClassName(hwnd))) {
    request->found.push_back(hwnd);
  }
  return TRUE;
}

// Top-level windows with exactly this caption, in z-order (topmost first).
std::vector<HWND> FindWindows(const std::string& caption, const std::string& className = "") {
  FindRequest request{caption, className, {}};
  ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&request));
  return request.found;
}

HWND FindWindowOrFail(const std::string& caption) {
  std::vector<HWND> found = FindWindows(caption);
  if (found.empty()) throw Failure{"no window captioned '" + caption + "'"};
  return found.front();
}

// The pop-up menu being tracked (menus are windows of class #32768 while open).
HWND OpenMenuOrFail() {
  HWND menuWindow = ::FindWindowA("#32768", nullptr);
  if (menuWindow == nullptr || !::IsWindowVisible(menuWindow)) throw Failure{"no menu is open"};
  return menuWindow;
}

BOOL CALLBACK TakeListView(HWND hwnd, LPARAM param) {
  if (ClassName(hwnd) != WC_LISTVIEWA) return TRUE;
  *reinterpret_cast<HWND*>(param) = hwnd;
  return FALSE;
}

HWND ItemOrFail(HWND dialog, const std::string& id) {
  HWND item = ::GetDlgItem(dialog, std::atoi(id.c_str()));
  if (item == nullptr) throw Failure{"no control " + id};
  return item;
}

LRESULT SendOrFail(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutA(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &result)) {
    throw Failure{"window does not answer"};
  }
  return static_cast<LRESULT>(result);
}

void PostOrFail(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!::PostMessageA(hwnd, message, wParam, lParam)) throw Failure{"PostMessage failed"};
}

// Memory inside the program's process, for control messages that carry pointers.
class RemoteBuffer {
 public:
  RemoteBuffer(HWND hwnd, std::size_t size) : size_(size) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    process_ = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process_ == nullptr) throw Failure{"cannot open the program's process"};
    address_ = ::VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    if (address_ == nullptr) throw Failure{"cannot allocate in the program's process"};
  }
  ~RemoteBuffer() {
    if (address_ != nullptr) ::VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    if (process_ != nullptr) ::CloseHandle(process_);
  }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;
  void Write(const void* data) { ::WriteProcessMemory(process_, address_, data, size_, nullptr); }
  void Read(void* data) { ::ReadProcessMemory(process_, address_, data, size_, nullptr); }
  LPARAM Address() const { return reinterpret_cast<LPARAM>(address_); }

 private:
  std::size_t size_;
  HANDLE process_ = nullptr;
  void* address_ = nullptr;
};

std::string SystemTimeText(const SYSTEMTIME& t) {
  char text[64];
  std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return text;
}

HKEY RootKey(const std::string& name) {
  if (name == "HKCU") return HKEY_CURRENT_USER;
  if (name == "HKLM") return HKEY_LOCAL_MACHINE;
  throw Failure{"unknown root " + name};
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
  }
  return out;
}

struct MessageBoxInfo {
  HWND hwnd;
  std::string text;
  std::string buttons;
};

// The newest message box titled `title` (the program titles its boxes with its own name).
bool FindMessageBox(const std::string& title, MessageBoxInfo* info) {
  for (HWND hwnd : FindWindows(title, "#32770")) {
    HWND textItem = ::GetDlgItem(hwnd, kMessageBoxTextId);
    if (textItem == nullptr || !::IsWindowVisible(hwnd)) continue;
    info->hwnd = hwnd;
    try {
      info->text = WindowText(textItem);
    } catch (const Failure&) {
      continue;  // a box being torn down after its answer
    }
    // A box being built has no text yet: wait for it.
    if (info->text.empty()) continue;
    info->buttons.clear();
    const std::pair<int, const char*> known[] = {
        {IDOK, "ok"}, {IDYES, "yes"}, {IDNO, "no"}, {IDCANCEL, "cancel"}};
    for (const auto& [id, name] : known) {
      HWND button = ::GetDlgItem(hwnd, id);
      if (button != nullptr && ::IsWindowVisible(button)) {
        if (!info->buttons.empty()) info->buttons += ",";
        info->buttons += name;
      }
    }
    return true;
  }
  return false;
}

std::string Run(const std::vector<std::string>& args) {
  const std::string& verb = args.at(0);
  auto arg = [&](std::size_t i) -> const std::string& {
    if (i >= args.size()) throw Failure{"missing argument " + std::to_string(i) + " to " + verb};
    return args[i];
  };
  auto number = [&](std::size_t i) { return std::strtoll(arg(i).c_str(), nullptr, 0); };

  if (verb == "ping") return "pong";
  if (verb == "exists") return FindWindows(arg(1)).empty() ? "0" : "1";
  if (verb == "wait-window") {
    DWORD deadline = ::GetTickCount() + static_cast<DWORD>(number(2));
    do {
      if (!FindWindows(arg(1)).empty()) return "1";
      ::Sleep(50);
    } while (static_cast<LONG>(deadline - ::GetTickCount()) > 0);
    return "0";
  }
  if (verb == "wait-visible") {
    DWORD deadline = ::GetTickCount() + static_cast<DWORD>(number(2));
    do {
      for (HWND hwnd : FindWindows(arg(1))) {
        if (::IsWindowVisible(hwnd)) return "1";
      }
      ::Sleep(50);
    } while (static_cast<LONG>(deadline - ::GetTickCount()) > 0);
    return "0";
  }
  if (verb == "wait-gone") {
    DWORD deadline = ::GetTickCount() + static_cast<DWORD>(number(2));
    do {
      if (FindWindows(arg(1)).empty()) return "1";
      ::Sleep(50);
    } while (static_cast<LONG>(deadline - ::GetTickCount()) > 0);
    return "0";
  }
  if (verb == "visible") return ::IsWindowVisible(FindWindowOrFail(arg(1))) ? "1" : "0";
  if (verb == "iconic") return ::IsIconic(FindWindowOrFail(arg(1))) ? "1" : "0";
  if (verb == "enabled") return ::IsWindowEnabled(FindWindowOrFail(arg(1))) ? "1" : "0";
  if (verb == "foreground") {
    HWND hwnd = ::GetForegroundWindow();
    return hwnd == nullptr ? "" : Escape(WindowText(hwnd));
  }
  if (verb == "style") {
    char style[32];
    std::snprintf(
        style, sizeof(style), "%08lX",
        static_cast<unsigned long>(::GetWindowLongA(FindWindowOrFail(arg(1)), GWL_STYLE)));
    return style;
  }
  if (verb == "rect") {
    RECT r;
    ::GetWindowRect(FindWindowOrFail(arg(1)), &r);
    return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) +
           " " + std::to_string(r.bottom);
  }
  if (verb == "controls") {
    // Every child: id, class, text, style, dialog-unit-free rectangle in client pixels.
    HWND dialog = FindWindowOrFail(arg(1));
    std::string out;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
      RECT r;
      ::GetWindowRect(child, &r);
      ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
      char style[32];
      std::snprintf(style, sizeof(style), "%08lX",
                    static_cast<unsigned long>(::GetWindowLongA(child, GWL_STYLE)));
      if (!out.empty()) out += "\t";
      out += std::to_string(::GetDlgCtrlID(child)) + "|" + ClassName(child) + "|" +
             Escape(WindowText(child)) + "|" + style + "|" + std::to_string(r.left) + "," +
             std::to_string(r.top) + "," + std::to_string(r.right) + "," + std::to_string(r.bottom);
    }
    return out;
  }
  if (verb == "get-text") return Escape(WindowText(ItemOrFail(FindWindowOrFail(arg(1)), arg(2))));
  if (verb == "set-text") {
    std::string text = arg(3);
    SendOrFail(ItemOrFail(FindWindowOrFail(arg(1)), arg(2)), WM_SETTEXT, 0,
               reinterpret_cast<LPARAM>(text.c_str()));
    return "";
  }
  if (verb == "click") {
    HWND dialog = FindWindowOrFail(arg(1));
    HWND button = ItemOrFail(dialog, arg(2));
    PostOrFail(dialog, WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
    return "";
  }
  if (verb == "click-wait") {
    // A click that returns once the program has handled it. A sent message overtakes posted
    // ones, so reading something back after a posted click proves nothing; this waits instead.
    HWND dialog = FindWindowOrFail(arg(1));
    HWND button = ItemOrFail(dialog, arg(2));
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
                               reinterpret_cast<LPARAM>(button), SMTO_NORMAL, kClickWaitMs,
                               &result)) {
      throw Failure{"the click was not handled in time"};
    }
    return "";
  }
  if (verb == "command") {
    PostOrFail(FindWindowOrFail(arg(1)), WM_COMMAND, static_cast<WPARAM>(number(2)), 0);
    return "";
  }
  if (verb == "syscommand") {
    PostOrFail(FindWindowOrFail(arg(1)), WM_SYSCOMMAND, static_cast<WPARAM>(number(2)), 0);
    return "";
  }
  if (verb == "post") {
    UINT message = arg(2).find_first_not_of("0123456789xXabcdefABCDEF") == std::string::npos
                       ? static_cast<UINT>(number(2))
                       : ::RegisterWindowMessageA(arg(2).c_str());
    PostOrFail(FindWindowOrFail(arg(1)), message, static_cast<WPARAM>(number(3)),
               static_cast<LPARAM>(number(4)));
    return "";
  }
  if (verb == "broadcast") {
    UINT message = ::RegisterWindowMessageA(arg(1).c_str());
    ::PostMessageA(HWND_BROADCAST, message, 0, 0);
    return "";
  }
  if (verb == "key") {
    // A key press to the focused control of a window, e.g. VK_ESCAPE (27) or VK_RETURN (13).
    HWND target = FindWindowOrFail(arg(1));
    if (args.size() > 3) target = ItemOrFail(target, arg(3));
    WPARAM vk = static_cast<WPARAM>(number(2));
    PostOrFail(target, WM_KEYDOWN, vk, 1);
    PostOrFail(target, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
    return "";
  }
  if (verb == "send") {
    // A message without pointers to a control, answered with its result: send CAPTION ID MSG W L.
    LRESULT result =
        SendOrFail(ItemOrFail(FindWindowOrFail(arg(1)), arg(2)), static_cast<UINT>(number(3)),
                   static_cast<WPARAM>(number(4)), static_cast<LPARAM>(number(5)));
    return std::to_string(result);
  }
  if (verb == "answer-ms") {
    // How long the window takes to answer a message that does nothing: answer-ms CAPTION LIMIT.
    HWND window = FindWindowOrFail(arg(1));
    DWORD_PTR result = 0;
    const ULONGLONG start = ::GetTickCount64();
    if (!::SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, static_cast<UINT>(number(2)),
                               &result)) {
      return "-1";
    }
    return std::to_string(::GetTickCount64() - start);
  }
  if (verb == "get-check") {
    return std::to_string(
        SendOrFail(ItemOrFail(FindWindowOrFail(arg(1)), arg(2)), BM_GETCHECK, 0, 0));
  }
  if (verb == "set-check") {
    SendOrFail(ItemOrFail(FindWindowOrFail(arg(1)), arg(2)), BM_SETCHECK,
               static_cast<WPARAM>(number(3)), 0);
    return "";
  }
  if (verb == "list-items") {
    HWND list = ItemOrFail(FindWindowOrFail(arg(1)), arg(2));
    LRESULT count = SendOrFail(list, LB_GETCOUNT, 0, 0);
    std::string out = std::to_string(count);
    for (LRESULT i = 0; i < count; ++i) {
      // Wine hands LB_GETTEXT across processes back in UTF-16 whatever the caller's character
      // set, so ask for it wide and convert.
      LRESULT length = SendOrFail(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
      std::wstring wide(static_cast<std::size_t>(length) + 1, L'\0');
      DWORD_PTR copied = 0;
      if (!::SendMessageTimeoutW(list, LB_GETTEXT, static_cast<WPARAM>(i),
                                 reinterpret_cast<LPARAM>(&wide[0]), SMTO_ABORTIFHUNG,
                                 kSendTimeoutMs, &copied)) {
        throw Failure{"list box does not answer"};
      }
      wide.resize(static_cast<std::size_t>(copied));
      out += "\t" + Escape(ToAnsi(wide));
    }
    return out;
  }
  if (verb == "list-select") {
    SendOrFail(ItemOrFail(FindWindowOrFail(arg(1)), arg(2)), LB_SETCURSEL,
               static_cast<WPARAM>(number(3)), 0);
    return "";
  }
  if (verb == "select-all-items") {
    // Ctrl+A in the list view inside a window (the open-file dialog's files): the dialog then
    // takes the names itself, also those this driver cannot type.
    HWND list = nullptr;
    ::EnumChildWindows(FindWindowOrFail(arg(1)), TakeListView, reinterpret_cast<LPARAM>(&list));
    if (list == nullptr) throw Failure{"no list view"};
    LVITEMA item = {};
    item.stateMask = LVIS_SELECTED;
    item.state = LVIS_SELECTED;
    RemoteBuffer remote(list, sizeof(item));
    remote.Write(&item);
    SendOrFail(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), remote.Address());
    return std::to_string(SendOrFail(list, LVM_GETSELECTEDCOUNT, 0, 0));
  }
  if (verb == "list-add") {
    std::string text = arg(3);
    SendOrFail(ItemOrFail(FindWindowOrFail(arg(1)), arg(2)), LB_ADDSTRING, 0,
               reinterpret_cast<LPARAM>(text.c_str()));
    return "";
  }
  if (verb == "progress") {
    HWND bar = ItemOrFail(FindWindowOrFail(arg(1)), arg(2));
    LRESULT low = SendOrFail(bar, PBM_GETRANGE, TRUE, 0);
    LRESULT high = SendOrFail(bar, PBM_GETRANGE, FALSE, 0);
    LRESULT pos = SendOrFail(bar, PBM_GETPOS, 0, 0);
    return std::to_string(low) + " " + std::to_string(high) + " " + std::to_string(pos);
  }
  if (verb == "get-time" || verb == "set-time") {
    HWND picker = ItemOrFail(FindWindowOrFail(arg(1)), arg(2));
    RemoteBuffer remote(picker, sizeof(SYSTEMTIME));
    SYSTEMTIME t = {};
    remote.Write(&t);
    SendOrFail(picker, DTM_GETSYSTEMTIME, 0, remote.Address());
    remote.Read(&t);
    if (verb == "get-time") return SystemTimeText(t);
    unsigned h = 0, m = 0, s = 0;
    if (std::sscanf(arg(3).c_str(), "%u:%u:%u", &h, &m, &s) != 3) throw Failure{"want hh:mm:ss"};
    t.wHour = static_cast<WORD>(h);
    t.wMinute = static_cast<WORD>(m);
    t.wSecond = static_cast<WORD>(s);
    remote.Write(&t);
    if (!SendOrFail(picker, DTM_SETSYSTEMTIME, GDT_VALID, remote.Address())) {
      throw Failure{"time control refused the time"};
    }
    return SystemTimeText(t);
  }
  if (verb == "msgbox") {
    // Waits up to arg(1) ms for a message box titled arg(2) (default "Quillory").
    std::string title = args.size() > 2 ? args[2] : "Quillory";
    DWORD deadline = ::GetTickCount() + static_cast<DWORD>(number(1));
    MessageBoxInfo info;
    do {
      if (FindMessageBox(title, &info)) return info.buttons + "\t" + Escape(info.text);
      ::Sleep(50);
    } while (static_cast<LONG>(deadline - ::GetTickCount()) > 0);
    throw Failure{"no message box"};
  }
  if (verb == "answer") {
    std::string title = args.size() > 2 ? args[2] : "Quillory";
    MessageBoxInfo info;
    if (!FindMessageBox(title, &info)) throw Failure{"no message box"};
    const std::string& choice = arg(1);
    int id = choice == "yes" ? IDYES : choice == "no" ? IDNO : choice == "cancel" ? IDCANCEL : IDOK;
    HWND button = ::GetDlgItem(info.hwnd, id);
    if (button == nullptr) throw Failure{"the box has no button " + choice};
    PostOrFail(info.hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    // Answered means gone: the next "msgbox" must not find this box again.
    DWORD deadline = ::GetTickCount() + kSendTimeoutMs;
    while (::IsWindow(info.hwnd) && ::IsWindowVisible(info.hwnd) &&
           static_cast<LONG>(deadline - ::GetTickCount()) > 0) {
      ::Sleep(20);
    }
    return "";
  }
  if (verb == "menu-open") {
    // A pop-up menu currently tracked (class #32768): its item texts, by position.
    HWND menuWindow = ::FindWindowA("#32768", nullptr);
    if (menuWindow == nullptr || !::IsWindowVisible(menuWindow)) return "0";
    return "1";
  }
  if (verb == "menu-rect") {
    RECT r;
    ::GetWindowRect(OpenMenuOrFail(), &r);
    return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) +
           " " + std::to_string(r.bottom);
  }
  if (verb == "menu-choose") {
    // Chooses the tracked menu's item arg(1), counting only the items a user can select
    // (separators are skipped), the way the keyboard does: Down onto it, then Return.
    HWND menuWindow = OpenMenuOrFail();
    for (long long i = 0; i <= number(1); ++i) PostOrFail(menuWindow, WM_KEYDOWN, VK_DOWN, 1);
    PostOrFail(menuWindow, WM_KEYDOWN, VK_RETURN, 1);
    return "";
  }
  if (verb == "menu-close") {
    PostOrFail(OpenMenuOrFail(), WM_KEYDOWN, VK_ESCAPE, 1);
    return "";
  }
  if (verb == "cursor") {
    POINT p = {};
    ::GetCursorPos(&p);
    return std::to_string(p.x) + " " + std::to_string(p.y);
  }
  if (verb == "set-cursor") {
    ::SetCursorPos(static_cast<int>(number(1)), static_cast<int>(number(2)));
    return "";
  }
  if (verb == "tray-has" || verb == "tray-drop") {
    // The notification area's own answer for the icon (window arg(1), id arg(2)): a change that
    // names no field succeeds only for an icon it holds. Dropping the icon is what a taskbar that
    // goes away does to it.
    NOTIFYICONDATAA record = {};
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = FindWindowOrFail(arg(1));
    record.uID = static_cast<UINT>(number(2));
    DWORD action = verb == "tray-has" ? NIM_MODIFY : NIM_DELETE;
    return ::Shell_NotifyIconA(action, &record) ? "1" : "0";
  }
  if (verb == "hold-open") {
    // Opens a file the way a program writing a log does (write access, others may only read) and
    // keeps it open until "release".
    if (heldFile != INVALID_HANDLE_VALUE) ::CloseHandle(heldFile);
    heldFile = ::CreateFileA(arg(1).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (heldFile == INVALID_HANDLE_VALUE) throw Failure{"cannot open " + arg(1)};
    return "";
  }
  if (verb == "release") {
    if (heldFile != INVALID_HANDLE_VALUE) ::CloseHandle(heldFile);
    heldFile = INVALID_HANDLE_VALUE;
    return "";
  }
  if (verb == "reg-get") {
    HKEY key;
    if (::RegOpenKeyExA(RootKey(arg(1)), arg(2).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return "nokey";
    }
    DWORD type = 0, size = 0;
    LONG status = ::RegQueryValueExA(key, arg(3).c_str(), nullptr, &type, nullptr, &size);
    std::string data(size, '\0');
    if (status == ERROR_SUCCESS && size > 0) {
      status = ::RegQueryValueExA(key, arg(3).c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(&data[0]), &size);
      data.resize(size);
    }
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS) return "novalue";
    return std::to_string(type) + " " + Hex(data);
  }
  if (verb == "reg-values") {
    HKEY key;
    if (::RegOpenKeyExA(RootKey(arg(1)), arg(2).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return "nokey";
    }
    std::string out = "key";
    for (DWORD i = 0;; ++i) {
      char name[16384];
      DWORD length = sizeof(name);
      if (::RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      out += "\t" + Escape(std::string(name, length));
    }
    ::RegCloseKey(key);
    return out;
  }
  if (verb == "reg-set") {
    HKEY key;
    if (::RegCreateKeyExA(RootKey(arg(1)), arg(2).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, nullptr) != ERROR_SUCCESS) {
      throw Failure{"cannot create key"};
    }
    std::string data = FromHex(args.size() > 5 ? args[5] : "");
    LONG status = ::RegSetValueExA(key, arg(3).c_str(), 0, static_cast<DWORD>(number(4)),
                                   reinterpret_cast<const BYTE*>(data.data()),
                                   static_cast<DWORD>(data.size()));
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS) throw Failure{"cannot write value"};
    return "";
  }
  if (verb == "reg-create-key") {
    HKEY key;
    if (::RegCreateKeyExA(RootKey(arg(1)), arg(2).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, nullptr) != ERROR_SUCCESS) {
      throw Failure{"cannot create key"};
    }
    ::RegCloseKey(key);
    return "";
  }
  if (verb == "reg-delete-value") {
    HKEY key;
    if (::RegOpenKeyExA(RootKey(arg(1)), arg(2).c_str(), 0, KEY_ALL_ACCESS, &key) ==
        ERROR_SUCCESS) {
      ::RegDeleteValueA(key, arg(3).c_str());
      ::RegCloseKey(key);
    }
    return "";
  }
  if (verb == "reg-delete-key") {
    LONG status = ::RegDeleteTreeA(RootKey(arg(1)), arg(2).c_str());
    if (status == ERROR_SUCCESS) ::RegDeleteKeyA(RootKey(arg(1)), arg(2).c_str());
    return "";
  }
  throw Failure{"unknown command " + verb};
}

}  // namespace

int main() {
  std::string line;
  std::cout << "OK ready" << std::endl;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> args = Split(line);
    if (args.front() == "quit") break;
    try {
      std::string result = Run(args);
      std::cout << "OK " << result << std::endl;
    } catch (const Failure& failure) {
      std::cout << "ERR " << Escape(failure.reason) << std::endl;
    } catch (const std::exception& error) {
      std::cout << "ERR " << Escape(error.what()) << std::endl;
    }
  }
  return 0;
}
