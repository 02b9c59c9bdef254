"""Reaching the update server from where players are: through the proxy the player set in
Windows, and through a fallback host when the main one is down."""

from __future__ import annotations

import os

import pytest

from korvantis_harness import https_server as reply
from korvantis_harness.korvantis import DONE, LAUNCHER, PROXY_REFUSED, UNCHANGED
from korvantis_harness.proxy import Proxy, set_user_proxy
from test_update_flow import Setup, engine_started, file_requests

UPDATE_HOST = os.environ.get("KORVANTIS_UPDATE_HOST", "guncelleme.korvantis.example")
FALLBACK_HOST = os.environ.get("KORVANTIS_FALLBACK_HOST", "yedek.korvantis.example")
NEW_FILE = ("cstrike/yeni.cfg", b"bind k kill\n")


def two_host_launcher(helper_exe):
    launcher = helper_exe("stand_in_engine").parent / "two_hosts" / LAUNCHER
    if not launcher.is_file():
        pytest.skip(f"{launcher} is not built (target two_host_launcher)")
    return launcher


@pytest.mark.parametrize("main", ["refuses connections", "answers 503", "answers 404"])
def test_a_fallback_host_when_the_main_one_is_down(request, prefix, helper_exe, engine, game_folder,
                                                  fallback_server, engine_record, main):
    setup = Setup(prefix, two_host_launcher(helper_exe), engine, game_folder, prefix.drive_c / "Korvantis Mod")
    files = {**setup.current_files(), NEW_FILE[0]: NEW_FILE[1]}
    fallback_server.publish(files)
    main_server = None
    if main != "refuses connections":  # else nothing listens where the main host's name leads
        main_server = request.getfixturevalue("server")
        main_server.publish(files)
        main_server.on(reply.MANIFEST_PATH, reply.status(404 if "404" in main else 503))
    result = setup.run()
    assert result.code == 0, result
    arrived = setup.folder / NEW_FILE[0]
    if main == "answers 404":
        # A host that answered has spoken for the server: the fallback is not asked.
        assert UNCHANGED in result.out and fallback_server.requests == [] and not arrived.exists(), result
    else:
        assert DONE in result.out and arrived.read_bytes() == NEW_FILE[1], result
        # The files of the run come from the host whose manifest it read.
        assert file_requests(fallback_server) and (main_server is None or file_requests(main_server) == [])
        assert {r["headers"].get("Host") for r in fallback_server.requests} == {FALLBACK_HOST}
    assert engine_started(setup, engine_record)


@pytest.mark.parametrize("proxy", ["reachable", "asks for a login", "down"])
def test_the_proxy_the_player_set_in_windows(request, tmp_path, prefix, launcher_exe, engine, game_folder,
                                             engine_record, proxy):
    """The update host's name leads nowhere from the player's machine; only the proxy set in the
    Internet Options reaches it. A proxy that wants a login the logged-on user cannot give is
    named as the reason; a proxy that is down is gone round once, directly."""
    setup = Setup(prefix, launcher_exe, engine, game_folder, prefix.drive_c / "Korvantis Mod")
    files = {**setup.current_files(), NEW_FILE[0]: NEW_FILE[1]}
    set_user_proxy(prefix, "127.0.0.5:8080")
    running = None
    if proxy == "down":
        server = request.getfixturevalue("server")  # where the name leads: a direct try works
    else:
        server = request.getfixturevalue("server_elsewhere")
        login = ("oyuncu", "sifre") if proxy == "asks for a login" else None
        running = Proxy(tmp_path / "proxy", UPDATE_HOST, "127.0.0.2", login=login)
        request.addfinalizer(running.close)
    server.publish(files)
    result = setup.run()
    assert result.code == 0, result
    arrived = setup.folder / NEW_FILE[0]
    if proxy == "asks for a login":
        assert PROXY_REFUSED + UNCHANGED in result.out and not arrived.exists(), result
        assert server.requests == []
    else:
        assert DONE in result.out and arrived.read_bytes() == NEW_FILE[1], result
    if running:
        assert f"CONNECT {UPDATE_HOST}:443" in running.log(), running.log()
    assert engine_started(setup, engine_record)
