"""Settings for the whole test session."""

import tqdm

# tqdm's monitor thread, once a bar has started it, lives until the interpreter exits and
# may wake during its shutdown, where the sanitizer build's leak check runs; no test needs it.
tqdm.tqdm.monitor_interval = 0
