"""Settings for the whole test session."""

import tqdm

# tqdm's monitor thread, once a bar has started it, lives until the interpreter exits and
# may wake during its shutdown, where the sanitizer build's leak check runs; no test needs it.
tqdm.tqdm.monitor_interval = 0


def pytest_unconfigure(config):
    """Under the sanitizer build, check for leaks here, once every test has run.

    LeakSanitizer's own check at process exit stops every thread with a tracer while
    native thread pools (numpy's BLAS among them) are being torn down, and its tracer has
    been seen to crash there. Checked now, with those threads idle, the result is the
    same, and LeakSanitizer then skips the check at exit.
    """
    import ctypes

    check = getattr(ctypes.CDLL(None), "__lsan_do_leak_check", None)
    if check is not None:
        check()
