class VelmorConnectionError(Exception):
    """Raised by storage connections; carries one message string."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message
