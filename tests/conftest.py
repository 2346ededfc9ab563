"""Test options: the long stress variants (marked `stress`) run only with --stress."""

import pytest


def pytest_addoption(parser):
    parser.addoption("--stress", action="store_true",
                     help="also run the long stress variants, marked 'stress'")


def pytest_configure(config):
    config.addinivalue_line("markers", "stress: a long stress variant, run only with --stress")
    config.addinivalue_line("markers", "emulation_slow: left out of the emulated aarch64 run "
                            "(scripts/test_aarch64.sh), where it takes too long")
    config.addinivalue_line("markers", "emulation_faulty: left out of the emulated aarch64 run, "
                            "which cannot run it faithfully (see scripts/test_aarch64.sh)")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--stress"):
        return
    skip = pytest.mark.skip(reason="long stress variant: run with --stress")
    for item in items:
        if "stress" in item.keywords:
            item.add_marker(skip)
