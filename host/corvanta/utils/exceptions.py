"""Exceptions shared across host components."""


class InitializationError(Exception):
    """A component could not be set up.

    ``component`` names what failed, ``message`` says why and ``cause`` holds the
    underlying exception, if any. ``str(err)`` is the message.
    """

    def __init__(self, *, component, message, cause=None):
        self.component = component
        self.message = message
        self.cause = cause
        super().__init__(message)
