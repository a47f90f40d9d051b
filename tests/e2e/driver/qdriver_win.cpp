// Test driver: reaches the program's windows from outside the way a user's clicks would, and reads
// what they show. It runs under the same wineserver as the program and answers one command per line
// on stdin (fields separated by tabs) with one line on stdout: "OK <result>" or "ERR <reason>".
// Texts in results escape backslash, tab, CR, LF and non-ASCII bytes (\\ \t \r \n \xHH).
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
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

// The pop-up menu being tracked (menus are windows of class #32768 while open), or null.
HWND OpenMenu() {
  HWND menuWindow = ::FindWindowA("#32768", nullptr);
  return menuWindow != nullptr && ::IsWindowVisible(menuWindow) ? menuWindow : nullptr;
}

HWND OpenMenuOrFail() {
  if (HWND menuWindow = OpenMenu()) return menuWindow;
  throw Failure{"no menu is open"};
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

// A command's fields: the verb, then its arguments, each read with a failure when missing.
class Args {
 public:
  explicit Args(const std::vector<std::string>& fields) : fields_(fields) {}
  const std::string& Verb() const { return fields_.at(0); }
  std::size_t Size() const { return fields_.size(); }
  const std::string& operator[](std::size_t i) const {
    if (i >= fields_.size())
      throw Failure{"missing argument " + std::to_string(i) + " to " + Verb()};
    return fields_[i];
  }
  std::string Or(std::size_t i, const std::string& absent) const {
    return i < fields_.size() ? fields_[i] : absent;
  }
  long long Number(std::size_t i) const { return std::strtoll((*this)[i].c_str(), nullptr, 0); }
  // The window captioned by field i, and its control whose id is field i + 1.
  HWND Window(std::size_t i) const { return FindWindowOrFail((*this)[i]); }
  HWND Control(std::size_t i) const { return ItemOrFail(Window(i), (*this)[i + 1]); }

 private:
  const std::vector<std::string>& fields_;
};

std::string Flag(bool value) { return value ? "1" : "0"; }

std::string RectText(HWND hwnd) {
  RECT r;
  ::GetWindowRect(hwnd, &r);
  return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) +
         " " + std::to_string(r.bottom);
}

std::string StyleText(HWND hwnd) {
  char style[32];
  std::snprintf(style, sizeof(style), "%08lX",
                static_cast<unsigned long>(::GetWindowLongA(hwnd, GWL_STYLE)));
  return style;
}

// Asks `done` every 50 ms until it holds or `milliseconds` have passed; asked at least once.
template <typename Done>
bool WaitUntil(long long milliseconds, Done done) {
  DWORD deadline = ::GetTickCount() + static_cast<DWORD>(milliseconds);
  do {
    if (done()) return true;
    ::Sleep(50);
  } while (static_cast<LONG>(deadline - ::GetTickCount()) > 0);
  return false;
}

// --- Windows and controls ------------------------------------------------------------------------

// wait-window, wait-visible or wait-gone CAPTION MS: 1 once a window so captioned is there (and
// visible), or none is; 0 when MS have passed first.
std::string Wait(const Args& args) {
  return Flag(WaitUntil(args.Number(2), [&] {
    const std::vector<HWND> found = FindWindows(args[1]);
    if (args.Verb() == "wait-gone") return found.empty();
    if (args.Verb() == "wait-window") return !found.empty();
    return std::any_of(found.begin(), found.end(), [](HWND h) { return ::IsWindowVisible(h); });
  }));
}

std::string Foreground(const Args&) {
  HWND hwnd = ::GetForegroundWindow();
  return hwnd == nullptr ? "" : Escape(WindowText(hwnd));
}

// Every child: id, class, text, style, dialog-unit-free rectangle in client pixels.
std::string Controls(const Args& args) {
  HWND dialog = args.Window(1);
  std::string out;
  for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    RECT r;
    ::GetWindowRect(child, &r);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    if (!out.empty()) out += "\t";
    out += std::to_string(::GetDlgCtrlID(child)) + "|" + ClassName(child) + "|" +
           Escape(WindowText(child)) + "|" + StyleText(child) + "|" + std::to_string(r.left) + "," +
           std::to_string(r.top) + "," + std::to_string(r.right) + "," + std::to_string(r.bottom);
  }
  return out;
}

std::string Click(const Args& args) {
  HWND dialog = args.Window(1);
  HWND button = ItemOrFail(dialog, args[2]);
  PostOrFail(dialog, WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
             reinterpret_cast<LPARAM>(button));
  return "";
}

// A click that returns once the program has handled it. A sent message overtakes posted ones, so
// reading something back after a posted click proves nothing; this waits instead.
std::string ClickWait(const Args& args) {
  HWND dialog = args.Window(1);
  HWND button = ItemOrFail(dialog, args[2]);
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
                             reinterpret_cast<LPARAM>(button), SMTO_NORMAL, kClickWaitMs,
                             &result)) {
    throw Failure{"the click was not handled in time"};
  }
  return "";
}

std::string Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  PostOrFail(hwnd, message, wParam, lParam);
  return "";
}

// `message` with the number in arg 2 to the window captioned arg 1.
std::string PostNumber(const Args& args, UINT message) {
  return Post(args.Window(1), message, static_cast<WPARAM>(args.Number(2)), 0);
}

// `message` with the number in arg 3 to control arg 2 of the window captioned arg 1.
std::string SendNumber(const Args& args, UINT message) {
  SendOrFail(args.Control(1), message, static_cast<WPARAM>(args.Number(3)), 0);
  return "";
}

// `message` with the text in arg 3 to control arg 2 of the window captioned arg 1.
std::string SendText(const Args& args, UINT message) {
  const std::string& text = args[3];
  SendOrFail(args.Control(1), message, 0, reinterpret_cast<LPARAM>(text.c_str()));
  return "";
}

// post CAPTION MSG W L, MSG a number or the name of a registered message.
std::string PostToWindow(const Args& args) {
  UINT message = args[2].find_first_not_of("0123456789xXabcdefABCDEF") == std::string::npos
                     ? static_cast<UINT>(args.Number(2))
                     : ::RegisterWindowMessageA(args[2].c_str());
  return Post(args.Window(1), message, static_cast<WPARAM>(args.Number(3)),
              static_cast<LPARAM>(args.Number(4)));
}

std::string Broadcast(const Args& args) {
  ::PostMessageA(HWND_BROADCAST, ::RegisterWindowMessageA(args[1].c_str()), 0, 0);
  return "";
}

// A key press to the focused control of a window, e.g. VK_ESCAPE (27) or VK_RETURN (13).
std::string Key(const Args& args) {
  HWND target = args.Window(1);
  if (args.Size() > 3) target = ItemOrFail(target, args[3]);
  WPARAM vk = static_cast<WPARAM>(args.Number(2));
  PostOrFail(target, WM_KEYDOWN, vk, 1);
  return Post(target, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
}

// A message without pointers to a control, answered with its result: send CAPTION ID MSG W L.
std::string Send(const Args& args) {
  return std::to_string(SendOrFail(args.Control(1), static_cast<UINT>(args.Number(3)),
                                   static_cast<WPARAM>(args.Number(4)),
                                   static_cast<LPARAM>(args.Number(5))));
}

// How long the window takes to answer a message that does nothing: answer-ms CAPTION LIMIT.
std::string AnswerMs(const Args& args) {
  HWND window = args.Window(1);
  DWORD_PTR result = 0;
  const ULONGLONG start = ::GetTickCount64();
  if (!::SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, static_cast<UINT>(args.Number(2)),
                             &result)) {
    return "-1";
  }
  return std::to_string(::GetTickCount64() - start);
}

// The items as one consistent reading: a list that changes while it is read (the program is
// still handling a click) is read again.
std::string ListItems(const Args& args) {
  HWND list = args.Control(1);
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (attempt > 0) ::Sleep(20);
    LRESULT count = SendOrFail(list, LB_GETCOUNT, 0, 0);
    std::string out = std::to_string(count);
    bool whole = true;
    for (LRESULT i = 0; whole && i < count; ++i) {
      // Wine hands LB_GETTEXT across processes back in UTF-16 whatever the caller's character
      // set, so ask for it wide and convert.
      LRESULT length = SendOrFail(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
      std::wstring wide(length < 0 ? 0 : static_cast<std::size_t>(length) + 1, L'\0');
      DWORD_PTR copied = 0;
      if (length >= 0 && !::SendMessageTimeoutW(list, LB_GETTEXT, static_cast<WPARAM>(i),
                                                reinterpret_cast<LPARAM>(&wide[0]),
                                                SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied)) {
        throw Failure{"list box does not answer"};
      }
      whole = length >= 0 && static_cast<LRESULT>(copied) != LB_ERR &&
              copied <= static_cast<DWORD_PTR>(length);
      if (whole) {
        wide.resize(static_cast<std::size_t>(copied));
        out += "\t" + Escape(ToAnsi(wide));
      }
    }
    if (whole) return out;
  }
  throw Failure{"the list kept changing while it was read"};
}

// Ctrl+A in the list view inside a window (the open-file dialog's files): the dialog then takes
// the names itself, also those this driver cannot type.
std::string SelectAllItems(const Args& args) {
  HWND list = nullptr;
  ::EnumChildWindows(args.Window(1), TakeListView, reinterpret_cast<LPARAM>(&list));
  if (list == nullptr) throw Failure{"no list view"};
  LVITEMA item = {};
  item.stateMask = LVIS_SELECTED;
  item.state = LVIS_SELECTED;
  RemoteBuffer remote(list, sizeof(item));
  remote.Write(&item);
  SendOrFail(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), remote.Address());
  return std::to_string(SendOrFail(list, LVM_GETSELECTEDCOUNT, 0, 0));
}

std::string Progress(const Args& args) {
  HWND bar = args.Control(1);
  LRESULT low = SendOrFail(bar, PBM_GETRANGE, TRUE, 0);
  LRESULT high = SendOrFail(bar, PBM_GETRANGE, FALSE, 0);
  LRESULT pos = SendOrFail(bar, PBM_GETPOS, 0, 0);
  return std::to_string(low) + " " + std::to_string(high) + " " + std::to_string(pos);
}

// get-time CAPTION ID, or set-time CAPTION ID hh:mm:ss, which keeps the control's date.
std::string Time(const Args& args) {
  HWND picker = args.Control(1);
  RemoteBuffer remote(picker, sizeof(SYSTEMTIME));
  SYSTEMTIME t = {};
  remote.Write(&t);
  SendOrFail(picker, DTM_GETSYSTEMTIME, 0, remote.Address());
  remote.Read(&t);
  if (args.Verb() == "get-time") return SystemTimeText(t);
  unsigned h = 0, m = 0, s = 0;
  if (std::sscanf(args[3].c_str(), "%u:%u:%u", &h, &m, &s) != 3) throw Failure{"want hh:mm:ss"};
  t.wHour = static_cast<WORD>(h);
  t.wMinute = static_cast<WORD>(m);
  t.wSecond = static_cast<WORD>(s);
  remote.Write(&t);
  if (!SendOrFail(picker, DTM_SETSYSTEMTIME, GDT_VALID, remote.Address())) {
    throw Failure{"time control refused the time"};
  }
  return SystemTimeText(t);
}

// --- Message boxes, menus, the cursor and the notification area
// -----------------------------------

// Waits up to arg 1 ms for a message box titled arg 2 (default "Quillory").
std::string MsgBox(const Args& args) {
  MessageBoxInfo info;
  if (!WaitUntil(args.Number(1), [&] { return FindMessageBox(args.Or(2, "Quillory"), &info); })) {
    throw Failure{"no message box"};
  }
  return info.buttons + "\t" + Escape(info.text);
}

std::string AnswerBox(const Args& args) {
  MessageBoxInfo info;
  if (!FindMessageBox(args.Or(2, "Quillory"), &info)) throw Failure{"no message box"};
  const std::string& choice = args[1];
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

// Chooses the tracked menu's item arg 1, counting only the items a user can select (separators
// are skipped), the way the keyboard does: Down onto it, then Return.
std::string MenuChoose(const Args& args) {
  HWND menuWindow = OpenMenuOrFail();
  for (long long i = 0; i <= args.Number(1); ++i) PostOrFail(menuWindow, WM_KEYDOWN, VK_DOWN, 1);
  return Post(menuWindow, WM_KEYDOWN, VK_RETURN, 1);
}

std::string Cursor(const Args&) {
  POINT p = {};
  ::GetCursorPos(&p);
  return std::to_string(p.x) + " " + std::to_string(p.y);
}

std::string SetCursorAt(const Args& args) {
  ::SetCursorPos(static_cast<int>(args.Number(1)), static_cast<int>(args.Number(2)));
  return "";
}

// The notification area's own answer for the icon (window arg 1, id arg 2): a change that names
// no field succeeds only for an icon it holds (tray-has). Dropping the icon (tray-drop) is what a
// taskbar that goes away does to it.
std::string Tray(const Args& args) {
  NOTIFYICONDATAA record = {};
  record.cbSize = NOTIFYICONDATAA_V1_SIZE;
  record.hWnd = args.Window(1);
  record.uID = static_cast<UINT>(args.Number(2));
  DWORD action = args.Verb() == "tray-has" ? NIM_MODIFY : NIM_DELETE;
  return Flag(::Shell_NotifyIconA(action, &record));
}

// --- Files and the registry
// ------------------------------------------------------------------------

// Opens a file the way a program writing a log does (write access, others may only read) and
// keeps it open until "release".
std::string HoldOpen(const Args& args) {
  if (heldFile != INVALID_HANDLE_VALUE) ::CloseHandle(heldFile);
  heldFile = ::CreateFileA(args[1].c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (heldFile == INVALID_HANDLE_VALUE) throw Failure{"cannot open " + args[1]};
  return "";
}

std::string Release(const Args&) {
  if (heldFile != INVALID_HANDLE_VALUE) ::CloseHandle(heldFile);
  heldFile = INVALID_HANDLE_VALUE;
  return "";
}

// The key ROOT PATH (args 1 and 2), opened with `access`; false when it cannot be.
bool OpenKey(const Args& args, REGSAM access, HKEY* key) {
  return ::RegOpenKeyExA(RootKey(args[1]), args[2].c_str(), 0, access, key) == ERROR_SUCCESS;
}

HKEY CreateKeyOrFail(const Args& args) {
  HKEY key;
  if (::RegCreateKeyExA(RootKey(args[1]), args[2].c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
    throw Failure{"cannot create key"};
  }
  return key;
}

std::string RegistryGet(const Args& args) {
  HKEY key;
  if (!OpenKey(args, KEY_READ, &key)) return "nokey";
  DWORD type = 0, size = 0;
  LONG status = ::RegQueryValueExA(key, args[3].c_str(), nullptr, &type, nullptr, &size);
  std::string data(size, '\0');
  if (status == ERROR_SUCCESS && size > 0) {
    status = ::RegQueryValueExA(key, args[3].c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(&data[0]), &size);
    data.resize(size);
  }
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS) return "novalue";
  return std::to_string(type) + " " + Hex(data);
}

std::string RegistryValues(const Args& args) {
  HKEY key;
  if (!OpenKey(args, KEY_READ, &key)) return "nokey";
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

// reg-set ROOT PATH NAME TYPE HEXDATA
std::string RegistrySet(const Args& args) {
  HKEY key = CreateKeyOrFail(args);
  std::string data = FromHex(args.Or(5, ""));
  LONG status =
      ::RegSetValueExA(key, args[3].c_str(), 0, static_cast<DWORD>(args.Number(4)),
                       reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS) throw Failure{"cannot write value"};
  return "";
}

std::string RegistryCreateKey(const Args& args) {
  ::RegCloseKey(CreateKeyOrFail(args));
  return "";
}

std::string RegistryDeleteValue(const Args& args) {
  HKEY key;
  if (OpenKey(args, KEY_ALL_ACCESS, &key)) {
    ::RegDeleteValueA(key, args[3].c_str());
    ::RegCloseKey(key);
  }
  return "";
}

std::string RegistryDeleteKey(const Args& args) {
  if (::RegDeleteTreeA(RootKey(args[1]), args[2].c_str()) == ERROR_SUCCESS) {
    ::RegDeleteKeyA(RootKey(args[1]), args[2].c_str());
  }
  return "";
}

// Every verb and its handler. The one-line ones stand here; the arguments after the verb are the
// window's caption, then a control's id, where a verb reaches one.
struct Verb {
  const char* name;
  std::string (*handle)(const Args&);
};

const Verb kVerbs[] = {
    {"ping", [](const Args&) -> std::string { return "pong"; }},
    {"exists", [](const Args& a) { return Flag(!FindWindows(a[1]).empty()); }},
    {"wait-window", Wait},
    {"wait-visible", Wait},
    {"wait-gone", Wait},
    {"visible", [](const Args& a) { return Flag(::IsWindowVisible(a.Window(1))); }},
    {"iconic", [](const Args& a) { return Flag(::IsIconic(a.Window(1))); }},
    {"enabled", [](const Args& a) { return Flag(::IsWindowEnabled(a.Window(1))); }},
    {"foreground", Foreground},
    {"style", [](const Args& a) { return StyleText(a.Window(1)); }},
    {"rect", [](const Args& a) { return RectText(a.Window(1)); }},
    {"controls", Controls},
    {"get-text", [](const Args& a) { return Escape(WindowText(a.Control(1))); }},
    {"set-text", [](const Args& a) { return SendText(a, WM_SETTEXT); }},
    {"click", Click},
    {"click-wait", ClickWait},
    {"command", [](const Args& a) { return PostNumber(a, WM_COMMAND); }},
    {"syscommand", [](const Args& a) { return PostNumber(a, WM_SYSCOMMAND); }},
    {"post", PostToWindow},
    {"broadcast", Broadcast},
    {"key", Key},
    {"send", Send},
    {"answer-ms", AnswerMs},
    {"get-check",
     [](const Args& a) { return std::to_string(SendOrFail(a.Control(1), BM_GETCHECK, 0, 0)); }},
    {"set-check", [](const Args& a) { return SendNumber(a, BM_SETCHECK); }},
    {"list-items", ListItems},
    {"list-select", [](const Args& a) { return SendNumber(a, LB_SETCURSEL); }},
    {"select-all-items", SelectAllItems},
    {"list-add", [](const Args& a) { return SendText(a, LB_ADDSTRING); }},
    {"progress", Progress},
    {"get-time", Time},
    {"set-time", Time},
    {"msgbox", MsgBox},
    {"answer", AnswerBox},
    {"menu-open", [](const Args&) { return Flag(OpenMenu() != nullptr); }},
    {"menu-rect", [](const Args&) { return RectText(OpenMenuOrFail()); }},
    {"menu-choose", MenuChoose},
    {"menu-close", [](const Args&) { return Post(OpenMenuOrFail(), WM_KEYDOWN, VK_ESCAPE, 1); }},
    {"cursor", Cursor},
    {"set-cursor", SetCursorAt},
    {"tray-has", Tray},
    {"tray-drop", Tray},
    {"hold-open", HoldOpen},
    {"release", Release},
    {"reg-get", RegistryGet},
    {"reg-values", RegistryValues},
    {"reg-set", RegistrySet},
    {"reg-create-key", RegistryCreateKey},
    {"reg-delete-value", RegistryDeleteValue},
    {"reg-delete-key", RegistryDeleteKey},
};

std::string Run(const std::vector<std::string>& fields) {
  const Args args(fields);
  for (const Verb& verb : kVerbs) {
    if (args.Verb() == verb.name) return verb.handle(args);
  }
  throw Failure{"unknown command " + args.Verb()};
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
