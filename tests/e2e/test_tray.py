"""The notification-area icon: its mouse events, its menu, and its return after a new taskbar."""

import pytest

from quillory_e2e import TRAY_HIDE, TRAY_ICON_ID

WM_MOUSEMOVE = 0x200
WM_LBUTTONDOWN = 0x201
WM_LBUTTONUP = 0x202
WM_LBUTTONDBLCLK = 0x203
WM_RBUTTONDOWN = 0x204
WM_RBUTTONUP = 0x205
ABOUT_CAPTION = "About Quillory"
SC_ABOUT = 0x10
IDOK = 1
MENU_ATTEMPTS = 3
MENU_WAIT_S = 3

# Selectable items of the tray menu, in order (separators cannot be chosen).
MENU_SHOW, MENU_HIDE, MENU_ABOUT, MENU_SHUTDOWN = range(4)


def menu_open(app):
    return app.driver.call("menu-open") == "1"


def open_menu(app):
    # Under Wine without a window manager, the menu of a just-hidden window now and then closes as
    # soon as it opens: a late focus change takes away the foreground it needs. A user would click
    # again, and so does this helper.
    for _ in range(MENU_ATTEMPTS):
        app.tray(WM_RBUTTONUP)
        if app.wait_until(lambda: menu_open(app), timeout=MENU_WAIT_S):
            return
    raise AssertionError("the tray menu did not open")


def choose(app, item):
    app.driver.call("menu-choose", str(item))
    assert app.wait_until(lambda: not menu_open(app), timeout=10), "the tray menu stayed open"


def close_menu(app):
    app.driver.call("menu-close")
    assert app.wait_until(lambda: not menu_open(app), timeout=10), "the tray menu stayed open"


def hide(app):
    app.command(TRAY_HIDE)
    assert app.wait_until(lambda: not app.visible(), timeout=5)


def icon_in_tray(app):
    return app.call("tray-has", str(TRAY_ICON_ID)) == "1"


def test_double_click_shows_the_hidden_window(quillory):
    app = quillory()
    hide(app)
    app.tray(WM_LBUTTONDBLCLK)
    assert app.wait_until(app.visible, timeout=5)


def test_right_click_opens_the_menu_at_the_cursor(quillory):
    app = quillory()
    app.driver.call("set-cursor", "400", "300")
    x, y = (int(v) for v in app.driver.call("cursor").split())
    open_menu(app)
    left, top, _right, _bottom = (int(v) for v in app.driver.call("menu-rect").split())
    assert (left, top) == (x, y)
    close_menu(app)
    assert app.running() and app.visible()


def test_menu_hide_and_show(quillory):
    app = quillory()
    open_menu(app)
    choose(app, MENU_HIDE)
    assert app.wait_until(lambda: not app.visible(), timeout=5)
    open_menu(app)
    choose(app, MENU_SHOW)
    assert app.wait_until(app.visible, timeout=5)


def test_menu_about_shows_the_about_box(quillory):
    app = quillory()
    open_menu(app)
    choose(app, MENU_ABOUT)
    if app.driver.call("wait-visible", ABOUT_CAPTION, "5000") != "1":
        # Tell a missing About box apart from a tray command that went nowhere.
        app.call("syscommand", str(SC_ABOUT))
        if app.driver.call("wait-visible", ABOUT_CAPTION, "5000") != "1":
            pytest.skip("the program has no About box yet")
        pytest.fail("the system menu shows the About box, the tray menu's About does not")
    app.driver.call("command", ABOUT_CAPTION, str(IDOK))
    assert app.driver.call("wait-gone", ABOUT_CAPTION, "5000") == "1"
    assert app.running()


def test_menu_shutdown_while_hidden_ends_without_question_with_code_one(quillory):
    app = quillory()
    hide(app)
    open_menu(app)
    choose(app, MENU_SHUTDOWN)
    assert app.wait_exit() == 1


@pytest.mark.parametrize("icon_id, mouse_message", [
    (TRAY_ICON_ID, WM_LBUTTONDOWN),
    (TRAY_ICON_ID, WM_LBUTTONUP),
    (TRAY_ICON_ID, WM_RBUTTONDOWN),
    (TRAY_ICON_ID, WM_MOUSEMOVE),
    (TRAY_ICON_ID + 1, WM_RBUTTONUP),
    (TRAY_ICON_ID + 1, WM_LBUTTONDBLCLK),
])
def test_other_notifications_are_ignored(quillory, icon_id, mouse_message):
    app = quillory()
    hide(app)
    # Each notification is followed by one that is handled after it: once that one shows its
    # effect, the one before has had its turn. A right click shows whether the window was shown...
    app.tray(mouse_message, icon_id)
    open_menu(app)
    assert not app.visible()
    close_menu(app)
    # ...and a double-click whether a menu was opened.
    app.tray(mouse_message, icon_id)
    app.tray(WM_LBUTTONDBLCLK)
    assert app.wait_until(app.visible, timeout=5)
    assert not menu_open(app)


def test_icon_comes_back_when_the_taskbar_is_created_again(quillory):
    app = quillory()
    assert app.wait_until(lambda: icon_in_tray(app), timeout=10), "no icon after start"
    # A taskbar that goes away takes every icon with it; the new one announces itself.
    assert app.call("tray-drop", str(TRAY_ICON_ID)) == "1"
    assert not icon_in_tray(app)
    app.driver.call("broadcast", "TaskbarCreated")
    assert app.wait_until(lambda: icon_in_tray(app), timeout=10), "the icon did not come back"
