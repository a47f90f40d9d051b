"""Editing the backup list: the open-file dialog, the wildcard dialog, removing entries."""

from quillory_e2e import (ADD_FILES, ADD_WILDCARD, BACKUP_LIST, REMOVE_ALL, REMOVE_ITEM, wine_path)

OPEN_CAPTION = "Open"
WILDCARD_CAPTION = "Wildcard Feature"
FILE_NAME_BOX = 1148  # the open-file dialog's file-name combo box
LOOK_IN_BOX = 1137  # its folder combo box
WILDCARD_EDIT = 1018
IDOK = 1
IDCANCEL = 2


def open_file_dialog(app):
    app.click(ADD_FILES)
    assert app.driver.call("wait-visible", OPEN_CAPTION, "15000") == "1"


def type_and_open(app, text):
    """Types `text` into the file-name box and presses Open."""
    app.driver.call("set-text", OPEN_CAPTION, str(FILE_NAME_BOX), text)
    app.driver.call("click", OPEN_CAPTION, str(IDOK))


def navigate(app, directory):
    """Types a directory into the file-name box and waits until the dialog shows that folder."""
    look_in = lambda: app.driver.call("get-text", OPEN_CAPTION, str(LOOK_IN_BOX))
    before = look_in()
    type_and_open(app, directory.rstrip("\\") + "\\")
    assert app.wait_until(lambda: look_in() != before, timeout=10), "the dialog did not change folder"


def wait_closed(app, caption):
    assert app.driver.call("wait-gone", caption, "10000") == "1"


def test_several_files_picked_in_one_directory(quillory, workdir):
    for name in ("a.txt", "b.log", "c"):
        (workdir / name).write_text(name)
    app = quillory()
    open_file_dialog(app)
    # Move to the directory first, then pick three names in it at once.
    navigate(app, wine_path(workdir))
    type_and_open(app, '"a.txt" "b.log" "c"')
    wait_closed(app, OPEN_CAPTION)
    base = wine_path(workdir)
    assert app.list_items() == [base + "\\a.txt", base + "\\b.log", base + "\\c"]


def test_typed_name_of_missing_file_and_cancel(quillory, workdir):
    app = quillory()
    missing = wine_path(workdir / "not-yet-written.bak")
    open_file_dialog(app)
    type_and_open(app, missing)
    wait_closed(app, OPEN_CAPTION)
    assert app.list_items() == [missing]

    open_file_dialog(app)
    app.driver.call("click", OPEN_CAPTION, str(IDCANCEL))
    wait_closed(app, OPEN_CAPTION)
    assert app.list_items() == [missing]


def test_file_in_a_drive_root_gets_one_backslash(quillory, wine_session):
    drive_c = wine_session.prefix / "drive_c"
    names = ["quillory-root-a.txt", "quillory-root-b.txt"]
    for name in names:
        (drive_c / name).write_text(name)
    try:
        app = quillory()
        open_file_dialog(app)
        navigate(app, "C:\\")
        type_and_open(app, " ".join(f'"{n}"' for n in names))
        wait_closed(app, OPEN_CAPTION)
        assert app.list_items() == ["C:\\" + n for n in names]
    finally:
        for name in names:
            (drive_c / name).unlink()


def wildcard(app, text, button=IDOK):
    app.click(ADD_WILDCARD)
    assert app.driver.call("wait-visible", WILDCARD_CAPTION, "10000") == "1"
    app.driver.call("set-text", WILDCARD_CAPTION, str(WILDCARD_EDIT), text)
    app.driver.call("click", WILDCARD_CAPTION, str(button))


def test_wildcard_dialog_refuses_a_name_without_star(quillory):
    app = quillory()
    wildcard(app, "report.txt")
    buttons, text = app.message_box()
    assert (buttons, text) == (["ok"], "You did not enter a valid wildcard.")
    app.answer("ok")
    # The dialog stays open with the typed text; Cancel then adds nothing.
    assert app.wait_until(lambda: app.no_message_box(wait=0.2), timeout=5)
    assert app.driver.call("exists", WILDCARD_CAPTION) == "1"
    assert app.driver.call("get-text", WILDCARD_CAPTION, str(WILDCARD_EDIT)) == "report.txt"
    app.driver.call("click", WILDCARD_CAPTION, str(IDCANCEL))
    wait_closed(app, WILDCARD_CAPTION)
    assert app.list_items() == []


def test_wildcard_dialog_refused_then_add_empty_adds_nothing(quillory):
    app = quillory()
    wildcard(app, "report?.txt")
    app.message_box()
    app.answer("ok")
    assert app.wait_until(lambda: app.no_message_box(wait=0.2), timeout=5)
    app.driver.call("set-text", WILDCARD_CAPTION, str(WILDCARD_EDIT), "")
    app.driver.call("click", WILDCARD_CAPTION, str(IDOK))
    wait_closed(app, WILDCARD_CAPTION)
    assert app.list_items() == []


def test_wildcard_dialog_adds_patterns_as_typed(quillory):
    app = quillory()
    wildcard(app, "*.txt")
    wait_closed(app, WILDCARD_CAPTION)
    wildcard(app, "C:\\logs\\*")
    wait_closed(app, WILDCARD_CAPTION)
    wildcard(app, "C:\\never\\*.log", button=IDCANCEL)
    wait_closed(app, WILDCARD_CAPTION)
    assert app.list_items() == ["*.txt", "C:\\logs\\*"]


def test_remove_item_and_remove_all(quillory):
    app = quillory()
    app.add_entries(["C:\\one.txt", "C:\\two.txt", "C:\\two.txt", "C:\\three.txt"])
    app.click(REMOVE_ITEM)
    assert app.message_box() == (["ok"], "You must select a file to remove!")
    app.answer("ok")
    assert app.wait_until(lambda: app.no_message_box(wait=0.2), timeout=5)
    assert len(app.list_items()) == 4

    app.call("list-select", str(BACKUP_LIST), "1")
    app.click(REMOVE_ITEM)
    assert app.wait_until(lambda: app.list_items() == ["C:\\one.txt", "C:\\two.txt", "C:\\three.txt"],
                          timeout=5)
    app.click(REMOVE_ALL)
    assert app.wait_until(lambda: app.list_items() == [], timeout=5)
    assert app.no_message_box()
