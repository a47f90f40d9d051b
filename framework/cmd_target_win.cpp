#include "framework/cmd_target.h"

bool CCmdTarget::OnCmdMsg(UINT id) {
  const MessageEntry* entry = FindEntry(WM_COMMAND, id);
  if (entry == nullptr) return false;
  Invoke(*entry, id, 0);
  return true;
}

const MessageEntry* CCmdTarget::FindEntry(UINT message, UINT commandId) const {
  MessageTable table = GetMessageTable();
  for (std::size_t i = 0; i < table.count; ++i) {
    const MessageEntry& entry = table.entries[i];
    if (entry.message != message) continue;
    if (message == WM_COMMAND && entry.commandId != commandId) continue;
    return &entry;
  }
  return nullptr;
}

LRESULT CCmdTarget::Invoke(const MessageEntry& entry, WPARAM wParam, LPARAM lParam) {
  const HandlerPointer& handler = entry.handler;
  switch (entry.kind) {
    case HandlerKind::Command:
    case HandlerKind::Paint:
      (this->*handler.command)();
      return 0;
    case HandlerKind::Message:
      return (this->*handler.message)(wParam, lParam);
    case HandlerKind::Timer:
      (this->*handler.timer)(static_cast<UINT_PTR>(wParam));
      return 0;
    case HandlerKind::SysCommand:
      (this->*handler.sysCommand)(static_cast<UINT>(wParam), lParam);
      return 0;
    case HandlerKind::QueryDragIcon:
      return reinterpret_cast<LRESULT>((this->*handler.queryDragIcon)());
  }
  return 0;
}
