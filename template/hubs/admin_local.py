"""The admin answers only the keeper's own computer.

Its pages and the password typed in them would cross the LAN in clear, and a
member could try passwords: from any address other than the one the server
listens on (or 127.0.0.1), /admin/ is not found.
"""

import sys

from django.conf import settings


def _listen_address(argv):
    """The host of runserver's address argument, if the server was started so."""
    if "runserver" not in argv:
        return None
    for argument in argv[argv.index("runserver") + 1:]:
        if not argument.startswith("-"):
            host = argument.rpartition(":")[0] if ":" in argument else argument
            return host.strip("[]") or None
    return None


class AdminFromThisComputerOnly:
    def __init__(self, get_response):
        self.get_response = get_response
        self.allowed = {"127.0.0.1"}
        listening = _listen_address(sys.argv)
        if listening and listening not in ("0.0.0.0", "::"):
            self.allowed.add(listening)

    def __call__(self, request):
        if request.path.startswith("/admin/") and request.META.get("REMOTE_ADDR") not in self.allowed:
            from . import views

            return views.not_found(request)
        return self.get_response(request)
