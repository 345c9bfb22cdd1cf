"""A stand-in for the station toolkit: error messages are recorded in
`MB.shown` instead of being shown."""


class _MessageBoxes:
    def __init__(self):
        self.shown = []

    def Error(self, text):
        self.shown.append(text)


MB = _MessageBoxes()
