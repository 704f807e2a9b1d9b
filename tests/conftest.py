"""A test function whose cases were all skipped, or that has none on this
platform, exits with 77, which CTest reports as skipped rather than passed."""
SKIPPED = 77


def pytest_sessionfinish(session, exitstatus):
    stats = session.config.pluginmanager.get_plugin("terminalreporter").stats
    if exitstatus == 5 or (exitstatus == 0 and stats.get("skipped") and not stats.get("passed")):
        session.exitstatus = SKIPPED
