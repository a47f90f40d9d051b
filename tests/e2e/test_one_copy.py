"""One copy per user: a second start hands over to the running copy and ends."""

import pytest

from quillory_e2e import MAIN_CAPTION, TRAY_HIDE


@pytest.mark.parametrize("args, shown", [([], True), (["RunHidden"], False)])
def test_second_start_ends_and_shows_the_hidden_copy_unless_started_hidden(quillory, driver, args, shown):
    first = quillory()
    first.command(TRAY_HIDE)
    second = quillory(keep=True, args=args, wait_main=False)
    assert second.wait_exit(timeout=60) == 0
    assert first.running()
    assert first.visible() == shown
    if shown:
        assert driver.call("foreground") == MAIN_CAPTION
