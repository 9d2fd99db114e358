"""The class of tavrin's commands: one that shows their errors as the ``tavrin`` group does.

It imports nothing but click and tavrin's foundation, so a command module that must load
fast (``search``) can use it.
"""

from typing import Any

import click

from tavrin._console import debug_requested, one_line_error
from tavrin.errors import OptionError

__all__ = ["Command"]


class Command(click.Command):
    """A command that shows its errors as the ``tavrin`` group does, also when it runs
    outside that group (in another group of click commands, or alone).

    An ``OptionError`` is a usage error of this command: its usage line, then the message
    (``Invalid value for <param_hint>: ...`` when it names an option), exit status 2.
    Under the ``tavrin`` group every other error is left to the group; alone, tavrin's own
    errors and the others a user can act on are ``Error: <message>``, exit status 1.
    """

    def invoke(self, ctx: click.Context) -> Any:
        try:
            return super().invoke(ctx)
        except OptionError as exc:
            if exc.param_hint is not None:
                raise click.BadParameter(exc.message, ctx=ctx, param_hint=exc.param_hint) from exc
            raise click.UsageError(exc.message, ctx=ctx) from exc
        except (click.exceptions.ClickException, click.exceptions.Exit, click.exceptions.Abort, BrokenPipeError):
            raise
        except Exception as exc:
            if getattr(ctx.find_root().command, "shows_errors", False):
                raise
            error = one_line_error(exc, debug_requested())
            if error is None:
                raise
            raise error from exc
