"""The backup runs by itself once a day, at the first tick within 9 seconds of the scheduled time."""

import datetime
import time

import pytest

from quillory_e2e import wine_path


def upload_times(server):
    return [t for kind, _path, t in server.commands if kind == "received"]


def local_time_in(seconds):
    moment = datetime.datetime.now() + datetime.timedelta(seconds=seconds)
    if moment.date() != datetime.date.today() or moment.hour == 23 and moment.minute == 59:
        pytest.skip("too close to midnight for a schedule a few seconds ahead")
    return moment


def settings_for(server, workdir):
    (workdir / "daily.txt").write_bytes(b"daily backup\n")
    return {"server": server.address, "login": server.USER, "password": server.PASSWORD,
            "directory": "", "files": [wine_path(workdir / "daily.txt")]}


def test_applied_schedule_runs_once_nine_seconds_early(quillory, ftp_server, workdir):
    app = quillory(settings=settings_for(ftp_server, workdir))
    target = local_time_in(18).replace(microsecond=0)
    app.set_time(target.strftime("%H:%M:%S"))
    app.apply()
    deadline = target.timestamp() + 3
    while time.time() < deadline and not upload_times(ftp_server):
        time.sleep(0.2)
    times = upload_times(ftp_server)
    assert len(times) == 1, "no scheduled run"
    # The first tick whose time of day is within 9 s: never earlier, at most a tick late.
    assert target.timestamp() - 9 - 0.5 <= times[0] <= target.timestamp() - 9 + 2.5
    assert ftp_server.files() == {"daily.txt": b"daily backup\n"}
    # The rest of the window (and a little after) starts no second run.
    time.sleep(max(0.0, target.timestamp() + 11 - time.time()))
    assert len(upload_times(ftp_server)) == 1
    assert app.visible()  # it was visible before the run


def test_schedule_moved_but_not_applied_runs_nothing(quillory, ftp_server, workdir):
    app = quillory(settings=settings_for(ftp_server, workdir))
    target = local_time_in(12).replace(microsecond=0)
    app.set_time(target.strftime("%H:%M:%S"))
    time.sleep(max(0.0, target.timestamp() + 2 - time.time()))
    assert upload_times(ftp_server) == []


def test_started_inside_the_window_runs_at_the_first_tick(quillory, ftp_server, workdir):
    target = local_time_in(7).replace(microsecond=0)
    settings = settings_for(ftp_server, workdir)
    # The stored schedule is a time value: that time of day on 1 January 1970, local time.
    day_start = datetime.datetime(1970, 1, 2).timestamp() - 86400
    settings["send_time"] = int(day_start + target.hour * 3600 + target.minute * 60 + target.second)
    started = time.time()
    quillory(settings=settings)
    while time.time() < started + 20 and not upload_times(ftp_server):
        time.sleep(0.2)
    times = upload_times(ftp_server)
    assert len(times) == 1
    assert times[0] - started < 16
