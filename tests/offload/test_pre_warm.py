import json
import pathlib
import socket
import sys
import threading

import pytest

SOURCE = "print('h\u00e9llo \u2713')\n"


@pytest.fixture
def warm_threads(ov, monkeypatch):
    """Threads the module creates, with the keyword arguments it gave them."""
    created = []

    class RecordingThread(threading.Thread):
        def __init__(self, *args, **kwargs):
            assert args == ()
            created.append((self, kwargs))
            super().__init__(**kwargs)

    class Threading:
        Thread = RecordingThread

        def __getattr__(self, name):
            return getattr(threading, name)

    monkeypatch.setattr(ov, "threading", Threading())
    yield created
    finish(created)


def finish(created):
    for thread, _ in created:
        thread.join(5)
        assert not thread.is_alive()


@pytest.fixture
def silent(monkeypatch, records, capsys):
    """Checks that the pre-warm reported nothing anywhere."""
    hooked = []
    monkeypatch.setattr(threading, "excepthook", hooked.append)
    yield
    assert hooked == []
    assert records() == []
    assert capsys.readouterr() == ("", "")


def test_request_carries_source_key_and_fast(
    monitor, pre_warm_server, warm_threads, silent, tmp_path, monkeypatch
):
    (tmp_path / "script.py").write_text(SOURCE, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    monitor.api_url = pre_warm_server.url
    monitor.fast = True
    assert monitor._start_pre_warm("script.py") is None
    finish(warm_threads)

    [(thread, kwargs)] = warm_threads
    assert list(kwargs) == ["target", "daemon"] and kwargs["daemon"] is True and thread.daemon
    assert kwargs["target"].__qualname__ == "_OverflowMonitor._start_pre_warm.<locals>._do_warm"
    [(method, path, headers, raw)] = pre_warm_server.requests
    assert (method, path) == ("POST", "/v1/pre-warm")
    assert headers["Authorization"] == "Bearer test-key"
    assert headers["Content-Type"] == "application/json"
    assert json.loads(raw, object_pairs_hook=list) == [("source_code", SOURCE), ("fast", True)]
    assert monitor._warm_result == {"warm_session_id": "sess-42", "region": "local"}


@pytest.mark.parametrize(
    "suffix, path", [("", "/v1/pre-warm"), ("/", "//v1/pre-warm"), ("/api", "/api/v1/pre-warm")]
)
def test_path_is_appended_to_the_base_as_it_stands(
    monitor, pre_warm_server, warm_threads, suffix, path
):
    monitor.api_url = pre_warm_server.url + suffix
    monitor._start_pre_warm(None)
    finish(warm_threads)
    assert [request[1] for request in pre_warm_server.requests] == [path]


@pytest.mark.parametrize("api_url", ["", None])
def test_empty_url_falls_back_to_the_module_default(
    ov, monitor, pre_warm_server, warm_threads, monkeypatch, api_url
):
    monkeypatch.setattr(ov, "_DEFAULT_API_URL", pre_warm_server.url)
    monitor.api_url = api_url
    monitor._start_pre_warm(None)
    finish(warm_threads)
    assert [request[1] for request in pre_warm_server.requests] == ["/v1/pre-warm"]


@pytest.mark.parametrize("source", [None, "", "missing.py", "latin1.py", "."])
def test_unreadable_source_is_sent_as_null(
    monitor, pre_warm_server, warm_threads, silent, tmp_path, monkeypatch, source
):
    (tmp_path / "latin1.py").write_bytes("caf\u00e9 = 1\n".encode("latin-1"))
    monkeypatch.chdir(tmp_path)
    monitor.api_url = pre_warm_server.url
    monitor._start_pre_warm(source)
    finish(warm_threads)
    [(_, _, _, raw)] = pre_warm_server.requests
    assert json.loads(raw, object_pairs_hook=list) == [("source_code", None), ("fast", False)]


@pytest.mark.parametrize(
    "status, body", [(201, b'{"warm_session_id": "x"}'), (204, b""), (500, b"{}"), (200, b"<html>")]
)
def test_answers_other_than_a_json_200_leave_the_result_alone(
    monitor, pre_warm_server, warm_threads, silent, status, body
):
    pre_warm_server.status, pre_warm_server.body = status, body
    previous = monitor._warm_result = {"warm_session_id": "earlier"}
    monitor.api_url = pre_warm_server.url
    monitor._start_pre_warm(None)
    finish(warm_threads)
    assert len(pre_warm_server.requests) == 1
    assert monitor._warm_result is previous


@pytest.mark.parametrize(
    "disable",
    [
        lambda monitor, monkeypatch: setattr(monitor, "api_key", None),
        lambda monitor, monkeypatch: setattr(monitor, "api_key", ""),
        lambda monitor, monkeypatch: monkeypatch.setitem(sys.modules, "httpx", None),
    ],
    ids=["no key", "empty key", "no httpx"],
)
def test_no_key_or_no_httpx_means_no_request(
    monitor, pre_warm_server, warm_threads, silent, monkeypatch, disable
):
    monitor.api_url = pre_warm_server.url
    disable(monitor, monkeypatch)
    monitor._start_pre_warm(None)
    finish(warm_threads)
    assert pre_warm_server.requests == []
    assert monitor._warm_result == {}


def test_a_service_that_never_answers_delays_nothing(monitor, warm_threads, silent):
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(5)
        monitor.api_url = f"http://127.0.0.1:{listener.getsockname()[1]}"
        monitor._start_pre_warm(None)
        [(thread, _)] = warm_threads
        connection, _ = listener.accept()
        with connection:
            connection.settimeout(5)
            assert connection.recv(65536).startswith(b"POST /v1/pre-warm ")
            # The caller got control back while the request still waits for its answer.
            assert thread.is_alive()
    finish(warm_threads)
    assert monitor._warm_result == {}


@pytest.mark.parametrize(
    "source_file, got", [(pathlib.Path("x.py"), "PosixPath"), (type("S", (str,), {})("x"), "S")]
)
def test_source_file_must_be_exactly_a_str(monitor, warm_threads, source_file, got):
    with pytest.raises(TypeError) as raised:
        monitor._start_pre_warm(source_file)
    assert str(raised.value) == (
        f"Argument 'source_file' has incorrect type (expected str, got {got})"
    )
    assert warm_threads == []
