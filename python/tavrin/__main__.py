"""``python -m tavrin``: the ``tavrin`` command line."""

from tavrin.cli import main

if __name__ == "__main__":
    main()
