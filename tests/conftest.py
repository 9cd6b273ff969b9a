# SPDX-License-Identifier: MIT
"""What every test of tools and scenarios shares: a passed test's files are removed.

A board is about 45 MiB of flash before a case writes packages and images to it, and the
suite makes some four hundred; kept whole, one run would need over 20 GiB of disk. A test
that failed keeps its files for the post-mortem."""
import shutil

import pytest


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    if outcome.get_result().failed:
        item.bladeboot_failed = True


@pytest.fixture(autouse=True)
def _spent_files(request, tmp_path):
    # Set up before a case's boards, so torn down after them: the boards have ended.
    yield
    if not getattr(request.node, "bladeboot_failed", False):
        shutil.rmtree(tmp_path, ignore_errors=True)
