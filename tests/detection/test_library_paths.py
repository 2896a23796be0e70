"""_compute_exclude_prefixes: the directories whose code never counts as the user's."""

import os
import site
import sysconfig

import pytest


def test_standard_directories_once_each_longest_first(ov):
    prefixes = ov._compute_exclude_prefixes()
    assert isinstance(prefixes, tuple)
    expected = {os.path.abspath(sysconfig.get_paths()[k]) for k in ("stdlib", "purelib")}
    expected.add(os.path.dirname(os.path.abspath(ov.__file__)))
    expected.update(os.path.abspath(p) for p in site.getsitepackages())
    assert expected <= set(prefixes)
    assert len(prefixes) == len(set(prefixes))
    assert all(p == os.path.abspath(p) for p in prefixes)
    assert all(not p.endswith(os.sep) or p == os.sep for p in prefixes)
    assert [len(p) for p in prefixes] == sorted((len(p) for p in prefixes), reverse=True)
    again = ov._compute_exclude_prefixes()
    assert set(again) == set(prefixes) and again is not prefixes  # a new tuple each call


def test_without_getsitepackages(ov, monkeypatch, tmp_path):
    user_site = tmp_path / "user-site"
    monkeypatch.delattr(site, "getsitepackages")
    monkeypatch.setattr(site, "getusersitepackages", lambda: str(user_site))
    prefixes = set(ov._compute_exclude_prefixes())
    assert os.path.abspath(sysconfig.get_paths()["stdlib"]) in prefixes
    assert os.path.dirname(os.path.abspath(ov.__file__)) in prefixes
    # The block stops at the first failure: the user site is not reached either.
    assert str(user_site) not in prefixes


@pytest.mark.parametrize("user_site", [None, 42, b"/bytes/path"])
def test_user_site_that_is_not_a_string(ov, monkeypatch, tmp_path, user_site):
    site_dir = str(tmp_path / "site-packages")
    monkeypatch.setattr(site, "getsitepackages", lambda: [site_dir])
    monkeypatch.setattr(site, "getusersitepackages", lambda: user_site)
    prefixes = ov._compute_exclude_prefixes()
    assert site_dir in prefixes
    assert not any(not isinstance(p, str) for p in prefixes)


def test_user_site_string_subclass_counts(ov, monkeypatch, tmp_path):
    class Path(str):
        pass

    monkeypatch.setattr(site, "getusersitepackages", lambda: Path(tmp_path / "u" / ".." / "v"))
    assert str(tmp_path / "v") in ov._compute_exclude_prefixes()


def test_interrupt_in_site_block_propagates(ov, monkeypatch):
    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.setattr(site, "getsitepackages", interrupted)
    with pytest.raises(KeyboardInterrupt):
        ov._compute_exclude_prefixes()


def test_missing_sysconfig_entry_is_skipped(ov, monkeypatch):
    real = sysconfig.get_paths()
    monkeypatch.setattr(sysconfig, "get_paths", lambda: {"stdlib": real["stdlib"], "purelib": ""})
    monkeypatch.setattr(site, "getsitepackages", list)
    monkeypatch.setattr(site, "getusersitepackages", lambda: None)
    assert set(ov._compute_exclude_prefixes()) == {
        os.path.abspath(real["stdlib"]),
        os.path.dirname(os.path.abspath(ov.__file__)),
    }
