"""The welcome text on a first run, and the About box from the system menu and the tray menu."""

import pytest

from quillory_e2e import MAIN_CAPTION, TRAY_ABOUT

WELCOME_CAPTION = "Welcome To Brannoch Quillory"
ABOUT_CAPTION = "About Quillory"
WELCOME_TEXT = (
    "Dear Customer," + "\t" * 12
    + "Quillory is an autonomous backup system which can efficiently "
    "backup any selected files to a server on a daily basis. "
    "Since this program is autonomous it does not need to remain visible. "
    "Therefore, after this session, it will run in the background of windows. "
    "If you look at the bottom right corner of your screen you will see "
    "a small icon. This is all you will see after this session. "
    "Whenever you wish to make changes within this application you "
    "can get back here by double-clicking it. We hope you will find this "
    "application useful." + "\t" * 12 + "Sincerely," + "\t" * 6 + "Brannoch")
WS_SYSMENU = 0x00080000
VK_RETURN = 0x0D
VK_ESCAPE = 0x1B


def welcome(quillory, driver):
    app = quillory(first_run=True, wait_main=False)
    assert driver.call("wait-visible", WELCOME_CAPTION, "30000") == "1"
    return app


def test_first_run_shows_the_welcome_text_before_the_main_window(quillory, driver):
    app = welcome(quillory, driver)
    from quillory_e2e import unescape
    assert unescape(driver.call("get-text", WELCOME_CAPTION, "1010")) == WELCOME_TEXT
    assert not int(driver.call("style", WELCOME_CAPTION), 16) & WS_SYSMENU  # no close box
    assert driver.call("exists", MAIN_CAPTION) == "0" or not app.visible()
    app.screenshot("welcome-dialog", WELCOME_CAPTION)
    driver.call("click", WELCOME_CAPTION, "1")  # Done
    app.wait_main()
    assert driver.call("exists", WELCOME_CAPTION) == "0"
    app.quit()
    # Later starts do not show it.
    app = quillory(keep=True)
    assert driver.call("exists", WELCOME_CAPTION) == "0"


@pytest.mark.parametrize("key", [VK_RETURN, VK_ESCAPE])
def test_enter_and_escape_also_end_the_welcome(quillory, driver, key):
    app = welcome(quillory, driver)
    driver.call("key", WELCOME_CAPTION, str(key), "1010")
    app.wait_main()
    assert driver.call("exists", WELCOME_CAPTION) == "0"


@pytest.mark.parametrize("how", ["system menu", "tray menu"])
def test_about_box_and_back(quillory, driver, how):
    app = quillory()
    app.set_text(1001, "kept.example")
    if how == "system menu":
        app.call("syscommand", "16")
    else:
        app.command(TRAY_ABOUT)
    assert driver.call("wait-visible", ABOUT_CAPTION, "10000") == "1"
    texts = [row.split("|")[2] for row in driver.call("controls", ABOUT_CAPTION).split("\t")]
    assert texts == ["Quillory Version 1.0", "OK"]
    assert driver.call("enabled", MAIN_CAPTION) == "0"  # modal over the main window
    if how == "system menu":
        app.screenshot("about-dialog", ABOUT_CAPTION)
    driver.call("click", ABOUT_CAPTION, "1")
    assert driver.call("wait-gone", ABOUT_CAPTION, "10000") == "1"
    assert driver.call("enabled", MAIN_CAPTION) == "1"
    assert app.visible() and app.text(1001) == "kept.example"
