"""Settings survive restarts exactly as applied, and odd stored values load safely."""

import struct

from quillory_e2e import (AUTORUN_CHECK, BACKUP_LIST, DIRECTORY_EDIT, LOGIN_EDIT, PASSWORD_EDIT,
                          REG_DWORD, REG_SZ, REMOVE_ITEM, SERVER_EDIT, SETTINGS_KEY, dword, sz)

WELCOME_CAPTION = "Welcome To Brannoch Quillory"


def fill(app, server="ftp.example.com", directory="", login="alice", password="abc"):
    app.set_text(SERVER_EDIT, server)
    app.set_text(DIRECTORY_EDIT, directory)
    app.set_text(LOGIN_EDIT, login)
    app.set_text(PASSWORD_EDIT, password)


def test_apply_writes_every_value_with_its_type(quillory):
    app = quillory()
    fill(app)
    app.add_entries(["C:\\data\\report.doc", "C:\\logs\\*.log"])
    app.set_time("02:30:15")
    app.set_checked(0)
    app.apply()
    stored = app.settings()
    assert stored["DomainEdit"] == (REG_SZ, b"ftp.example.com\0")
    assert stored["DirectoryEdit"] == (REG_SZ, b"\0")  # an empty field: one zero byte
    assert stored["LoginEdit"] == (REG_SZ, b"alice\0")
    assert stored["PasswordEdit"] == (REG_SZ, b"bcd\0")  # abc scrambled
    assert stored["NumFiles"] == (REG_DWORD, struct.pack("<I", 2))
    assert stored["FileListEntry0"] == (REG_SZ, b"C:\\data\\report.doc\0")
    assert stored["FileListEntry1"] == (REG_SZ, b"C:\\logs\\*.log\0")
    assert stored["AutoRunCheck"] == (REG_DWORD, struct.pack("<I", 0))
    vtype, data = stored["SendTime"]
    assert vtype == REG_DWORD and len(data) == 4
    # The session runs in UTC: the chosen time of day on the control's date (1 January 1970).
    assert struct.unpack("<i", data)[0] % 86400 == 2 * 3600 + 30 * 60 + 15


def test_restart_shows_what_was_applied_and_not_what_was_typed_after(quillory):
    app = quillory()
    fill(app, directory="nightly")
    app.add_entries(["C:\\a.txt", "C:\\b.txt"])
    app.set_time("23:59:55")
    app.set_checked(0)
    app.apply()
    # Typed but not applied: lost at exit, the stored values stay.
    app.set_text(SERVER_EDIT, "typed.but.not.applied")
    app.add_entries(["C:\\c.txt"])
    before = app.settings()
    assert app.quit() == 0
    assert app.settings() == before

    app = quillory(keep=True)
    assert app.text(SERVER_EDIT) == "ftp.example.com"
    assert app.text(DIRECTORY_EDIT) == "nightly"
    assert app.text(LOGIN_EDIT) == "alice"
    assert app.text(PASSWORD_EDIT) == "abc"
    assert app.list_items() == ["C:\\a.txt", "C:\\b.txt"]
    assert app.time_text().endswith("23:59:55")
    assert app.checked() == 0


def test_shortened_list_leaves_old_entries_behind_a_smaller_count(quillory):
    files = [f"C:\\f{i}.txt" for i in range(5)]
    app = quillory(settings={"files": files})
    assert app.list_items() == files
    for _ in range(3):
        app.call("list-select", str(BACKUP_LIST), "2")
        app.call("click-wait", str(REMOVE_ITEM))
    assert app.list_items() == files[:2]
    app.apply()
    stored = app.settings()
    assert stored["NumFiles"] == dword(2)
    for i in range(5):
        assert stored[f"FileListEntry{i}"] == sz(files[i])
    app.quit()
    assert quillory(keep=True).list_items() == files[:2]


def test_count_missing_or_entries_missing(quillory):
    # Entries without a count are not loaded.
    app = quillory(settings={"raw_FileListEntry0": sz("C:\\x.txt"), "raw_FileListEntry1": sz("C:\\y.txt")})
    assert app.list_items() == []
    app.quit()
    # Entries missing under a count: the others load in order, without gaps.
    app = quillory(settings={"raw_NumFiles": dword(5), "raw_FileListEntry0": sz("C:\\0.txt"),
                             "raw_FileListEntry2": sz("C:\\2.txt"), "raw_FileListEntry4": sz("C:\\4.txt"),
                             "raw_FileListEntry5": sz("C:\\5.txt")})
    assert app.list_items() == ["C:\\0.txt", "C:\\2.txt", "C:\\4.txt"]


def test_first_run_creates_the_key_and_keeps_defaults(quillory, driver):
    app = quillory(first_run=True, wait_main=False)
    assert driver.call("wait-visible", WELCOME_CAPTION, "30000") == "1"
    assert app.settings() == {}  # the key exists, empty
    driver.call("click", WELCOME_CAPTION, "1")
    app.wait_main()
    assert app.text(SERVER_EDIT) == "" and app.list_items() == [] and app.checked() == 1
    assert app.time_text().endswith("06:00:00")
    app.quit()
    assert app.settings() == {}
    # The next start is no first run: no welcome, every default.
    app = quillory(keep=True)
    assert driver.call("exists", WELCOME_CAPTION) == "0"


def test_password_byte_ff_survives_store_and_load(quillory):
    app = quillory()
    fill(app, password="a\xffb")
    app.apply()
    assert app.settings()["PasswordEdit"] == (REG_SZ, b"b\x01c\0")
    app.quit()
    assert quillory(keep=True).text(PASSWORD_EDIT) == "a\xffb"


def test_values_of_the_wrong_type_or_without_terminator_load_safely(quillory):
    app = quillory(settings={
        "raw_DomainEdit": dword(7),                       # a number where a text belongs: missing
        "raw_LoginEdit": (REG_SZ, b"a-much-longer-login\0"),
        "raw_DirectoryEdit": (REG_SZ, b"xy"),             # no terminator: no bytes of other values
        "raw_PasswordEdit": (REG_SZ, b"bcd"),
        "raw_SendTime": (REG_SZ, b"12\0"),                # wrong type: the default stays
        "raw_AutoRunCheck": (REG_DWORD, b"\0\0"),          # wrong size: the default stays
    })
    assert app.text(SERVER_EDIT) == ""
    assert app.text(LOGIN_EDIT) == "a-much-longer-login"
    assert app.text(DIRECTORY_EDIT) == "xy"
    assert app.text(PASSWORD_EDIT) == "abc"
    assert app.time_text().endswith("06:00:00")
    assert app.checked() == 1


def test_long_list_entry_is_saved_and_loaded_whole(quillory):
    long_entry = "C:\\" + "\\".join(["d" * 200] * 7) + "\\file.txt"
    assert len(long_entry) > 1000
    app = quillory()
    app.add_entries([long_entry, "C:\\short.txt"])
    app.apply()
    assert app.settings()["FileListEntry0"] == sz(long_entry)
    app.quit()
    assert quillory(keep=True).list_items() == [long_entry, "C:\\short.txt"]


def test_edit_text_is_cut_at_999_bytes(quillory):
    app = quillory()
    app.set_text(SERVER_EDIT, "s" * 1000)  # the edit takes 1000 characters
    app.apply()
    assert app.settings()["DomainEdit"] == sz("s" * 999)


def test_schedule_before_1970_in_a_zone_east_of_utc_survives(quillory):
    tokyo = {"TZ": "Asia/Tokyo"}
    app = quillory(env=tokyo)
    # 02:00 in Tokyo on 1 January 1970 is 17:00 UTC the day before.
    app.set_time("02:00:00")
    app.apply()
    assert app.settings()["SendTime"] == dword(-7 * 3600)
    app.quit()
    app = quillory(keep=True, env=tokyo)
    assert app.time_text() == "1970-01-01 02:00:00"
