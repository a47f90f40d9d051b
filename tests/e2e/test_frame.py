"""The main window appears as built, and every way out behaves as a user expects."""

from quillory_e2e import (AUTORUN_CHECK, MAIN_CAPTION, PROGRESS, SEND_TIME, SHUTDOWN, TRAY_SHOW,
                          TRAY_HIDE, TRAY_SHUTDOWN)

SC_CLOSE = 0xF060
VK_ESCAPE = 0x1B
EM_GETLIMITTEXT = 0x00D5

EXPECTED_CONTROLS = [
    (1001, "Edit", ""), (1004, "Edit", ""), (1002, "Edit", ""), (1003, "Edit", ""),
    (1000, "SysDateTimePick32", None), (3, "Button", "Add File(s)"), (8, "Button", "Add Wildcard"),
    (4, "Button", "Remove Item"), (5, "Button", "Remove All"), (1005, "ListBox", ""),
    (9, "Button", "Test Settings"), (6, "Button", "Apply Settings"),
    (32772, "Button", "Hide Quillory"), (7, "Button", "Shutdown"),
    (-1, "Button", "Login/Password"), (-1, "Button", "Destination Address"),
    (-1, "Static", "Domain name or IP address----->"),
    (-1, "Static", "Directory to save to------------------>"),
    (-1, "Static", "Backup Time------>"), (-1, "Button", "Transmition Information"),
    (-1, "Button", "Files To Transmit"), (1011, "Button", "Run automatically on startup"),
    (1012, "msctls_progress32", ""),
]


def controls(app):
    rows = []
    for field in app.call("controls").split("\t"):
        cid, cls, text, _style, _rect = field.split("|")
        rows.append((int(cid) if int(cid) < 0x8000 or int(cid) > 0xFFFF else int(cid), cls, text))
    return rows


def test_main_window_shows_every_control_in_order(quillory):
    app = quillory()
    assert app.visible()
    found = controls(app)
    assert [(cid if cid != 65535 else -1, cls) for cid, cls, _ in found] == \
        [(cid, cls) for cid, cls, _ in EXPECTED_CONTROLS]
    for (cid, _cls, text), (_, _, want) in zip(found, EXPECTED_CONTROLS):
        if want is not None:
            assert text == want, cid
    # Defaults: check box checked, empty progress range, 06:00:00 local in the time control.
    assert app.checked() == 1
    assert app.progress() == (0, 0, 0)
    assert app.time_text().endswith("06:00:00")
    for edit in (1001, 1004, 1002, 1003):
        assert app.call("send", str(edit), str(EM_GETLIMITTEXT), "0", "0") == "1000"
    app.screenshot("main-window")


def test_shutdown_button_asks_and_no_keeps_running(quillory):
    app = quillory()
    app.click(SHUTDOWN)
    buttons, text = app.message_box()
    assert text == "Are you sure you want to quit?"
    assert buttons == ["yes", "no"]
    app.answer("no")
    assert app.wait_until(lambda: app.no_message_box(wait=0.2), timeout=5)
    assert app.running() and app.visible()
    # Answering Yes ends the program.
    app.click(SHUTDOWN)
    app.message_box()
    app.answer("yes")
    app.wait_exit()


def test_close_box_and_escape_ask_the_same_question(quillory):
    app = quillory()
    app.call("syscommand", str(SC_CLOSE))
    _, text = app.message_box()
    assert text == "Are you sure you want to quit?"
    app.answer("no")
    assert app.wait_until(lambda: app.no_message_box(wait=0.2), timeout=5)
    app.call("key", str(VK_ESCAPE), "1001")
    _, text = app.message_box()
    assert text == "Are you sure you want to quit?"
    app.answer("yes")
    app.wait_exit()


def test_ok_command_ends_without_question(quillory):
    app = quillory()
    app.command(1)
    assert app.wait_exit() == 0


def test_tray_shutdown_ends_with_code_one_without_question(quillory):
    app = quillory()
    app.command(TRAY_HIDE)
    assert app.wait_until(lambda: not app.visible(), timeout=5)
    app.command(TRAY_SHUTDOWN)
    assert app.wait_exit() == 1


def test_hide_and_show_keep_typed_text(quillory):
    app = quillory()
    app.set_text(1001, "typed.example")
    app.command(TRAY_HIDE)
    assert app.wait_until(lambda: not app.visible(), timeout=5)
    app.command(TRAY_SHOW)
    assert app.wait_until(app.visible, timeout=5)
    assert app.text(1001) == "typed.example"
