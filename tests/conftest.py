import os

from fixtures import sc


def pytest_report_header(config):
    return f"sorbane_cpp from {sc.__file__}, using_double={sc.using_double()}"


def pytest_sessionstart(session):
    # The float64 run must not silently pick up the float32 module.
    if os.environ.get("SORBANE_EXPECT_DOUBLE") == "1" and not sc.using_double():
        raise RuntimeError(f"expected the float64 build, got {sc.__file__}")
