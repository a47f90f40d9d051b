// Command targets and their static message tables.
//
// Every class that handles messages or commands keeps one flat table of MessageEntry rows beside
// its handlers. A row names the message (and for WM_COMMAND the command id), how WPARAM/LPARAM are
// unpacked for the handler, and the handler itself. A message no row names gets default processing.
#pragma once

#include <windows.h>

#include <cstddef>

class CCmdTarget;

// How a row's handler is called. Each kind has one handler signature, written beside it.
enum class HandlerKind {
  Command,        // void Handler()                      WM_COMMAND with the row's id
  Message,        // LRESULT Handler(WPARAM, LPARAM)     any message, unpacked by the handler
  Timer,          // void Handler(UINT_PTR timerId)      WM_TIMER
  SysCommand,     // void Handler(UINT id, LPARAM)       WM_SYSCOMMAND
  Paint,          // void Handler()                      WM_PAINT
  QueryDragIcon,  // HCURSOR Handler()                   WM_QUERYDRAGICON
};

// One handler per row; `kind` says which member is set.
union HandlerPointer {
  void (CCmdTarget::*command)();
  LRESULT (CCmdTarget::*message)(WPARAM, LPARAM);
  void (CCmdTarget::*timer)(UINT_PTR);
  void (CCmdTarget::*sysCommand)(UINT, LPARAM);
  HCURSOR (CCmdTarget::*queryDragIcon)();
};

struct MessageEntry {
  UINT message;
  UINT commandId;  // WM_COMMAND rows only
  HandlerKind kind;
  HandlerPointer handler;
};

struct MessageTable {
  const MessageEntry* entries;
  std::size_t count;
};

// Row builders: each takes the handler with its own signature and stores it beside its kind.
template <class T>
MessageEntry OnCommand(UINT id, void (T::*fn)()) {
  MessageEntry entry{WM_COMMAND, id, HandlerKind::Command, {}};
  entry.handler.command = static_cast<void (CCmdTarget::*)()>(fn);
  return entry;
}
template <class T>
MessageEntry OnMessage(UINT message, LRESULT (T::*fn)(WPARAM, LPARAM)) {
  MessageEntry entry{message, 0, HandlerKind::Message, {}};
  entry.handler.message = static_cast<LRESULT (CCmdTarget::*)(WPARAM, LPARAM)>(fn);
  return entry;
}
template <class T>
MessageEntry OnTimerMessage(void (T::*fn)(UINT_PTR)) {
  MessageEntry entry{WM_TIMER, 0, HandlerKind::Timer, {}};
  entry.handler.timer = static_cast<void (CCmdTarget::*)(UINT_PTR)>(fn);
  return entry;
}
template <class T>
MessageEntry OnSysCommandMessage(void (T::*fn)(UINT, LPARAM)) {
  MessageEntry entry{WM_SYSCOMMAND, 0, HandlerKind::SysCommand, {}};
  entry.handler.sysCommand = static_cast<void (CCmdTarget::*)(UINT, LPARAM)>(fn);
  return entry;
}
template <class T>
MessageEntry OnPaintMessage(void (T::*fn)()) {
  MessageEntry entry{WM_PAINT, 0, HandlerKind::Paint, {}};
  entry.handler.command = static_cast<void (CCmdTarget::*)()>(fn);
  return entry;
}
template <class T>
MessageEntry OnQueryDragIconMessage(HCURSOR (T::*fn)()) {
  MessageEntry entry{WM_QUERYDRAGICON, 0, HandlerKind::QueryDragIcon, {}};
  entry.handler.queryDragIcon = static_cast<HCURSOR (CCmdTarget::*)()>(fn);
  return entry;
}

#define QUILLORY_TABLE_SIZE(entries) (sizeof(entries) / sizeof((entries)[0]))

class CCmdTarget {
 public:
  virtual ~CCmdTarget() = default;

  // This class's own rows; an empty table by default.
  virtual MessageTable GetMessageTable() const { return {nullptr, 0}; }

  // Runs the handler bound to command `id`. False when the table has no such row.
  bool OnCmdMsg(UINT id);

 protected:
  const MessageEntry* FindEntry(UINT message, UINT commandId) const;
  LRESULT Invoke(const MessageEntry& entry, WPARAM wParam, LPARAM lParam);
};
