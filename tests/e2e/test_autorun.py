"""Start with Windows: the Run value, and the hidden start it asks for."""

import shutil
import time

from quillory_e2e import RUN_KEY, REG_SZ, TRAY_ICON_ID, sz, wine_path

WELCOME_CAPTION = "Welcome To Brannoch Quillory"


def run_values(driver):
    return {root: driver.reg_get(root, RUN_KEY, "Quillory") for root in ("HKLM", "HKCU")}


def clear_run_values(driver):
    for root in ("HKLM", "HKCU"):
        driver.call("reg-delete-value", root, RUN_KEY, "Quillory")


def test_checked_box_registers_the_running_program_unchecked_removes_it(quillory, driver, workdir,
                                                                         request):
    clear_run_values(driver)
    request.addfinalizer(lambda: clear_run_values(driver))
    # Started from another working directory, out of a folder whose name has a space.
    folder = workdir / "Program Files" / "Quillory"
    folder.mkdir(parents=True)
    exe = folder / "Quillory.exe"
    shutil.copy(quillory_exe(), exe)
    elsewhere = workdir / "elsewhere"
    elsewhere.mkdir()
    app = quillory(exe=exe, cwd=elsewhere)
    assert app.checked() == 1
    app.apply()
    expected = sz(f'"{wine_path(exe)}" RunHidden')
    assert app.wait_until(lambda: run_values(driver)["HKLM"] == expected, timeout=5)
    assert app.no_message_box()

    app.set_checked(0)
    app.apply()
    assert app.wait_until(lambda: run_values(driver) == {"HKLM": None, "HKCU": None}, timeout=5)
    # Removing what is not there is no error either.
    app.apply()
    assert app.no_message_box()


def test_path_without_spaces_is_not_quoted(quillory, driver, request):
    clear_run_values(driver)
    request.addfinalizer(lambda: clear_run_values(driver))
    app = quillory()
    app.apply()
    assert app.wait_until(
        lambda: run_values(driver)["HKLM"] == sz(f"{wine_path(quillory_exe())} RunHidden"), timeout=5)


def test_start_and_exit_leave_the_run_value_alone(quillory, driver, request):
    clear_run_values(driver)
    request.addfinalizer(lambda: clear_run_values(driver))
    driver.reg_set("HKLM", RUN_KEY, "Quillory", REG_SZ, b"sentinel\0")
    app = quillory(settings={"autorun": 0})
    app.click(1011)  # toggled but not applied
    app.quit()
    assert run_values(driver)["HKLM"] == (REG_SZ, b"sentinel\0")


def test_run_hidden_hides_the_window_after_the_first_tick(quillory):
    app = quillory(args=["RunHidden"])
    # Shown first, hidden by the first tick about a second later; the program goes on.
    assert app.wait_until(lambda: not app.visible(), timeout=10)
    time.sleep(1.5)
    assert app.running() and not app.visible()
    assert app.call("tray-has", str(TRAY_ICON_ID)) == "1"  # the icon stays
    app.command(32771)  # Show
    assert app.wait_until(app.visible, timeout=5)


def test_run_hidden_on_a_first_run_keeps_the_window_visible(quillory, driver):
    app = quillory(first_run=True, args=["RunHidden"], wait_main=False)
    assert driver.call("wait-visible", WELCOME_CAPTION, "30000") == "1"
    driver.call("click", WELCOME_CAPTION, "1")
    app.wait_main()
    time.sleep(3)
    assert app.visible()


def quillory_exe():
    from conftest import BUILD
    return BUILD / "Quillory.exe"
