# The station toolkit's view for editors: the message boxes.

class _MessageBoxes:
    CAPTION: str
    def Error(self, text: str) -> None: ...

MB: _MessageBoxes
