"""The plugin registers its Processing provider when QGIS (or qgis_process)
starts Processing, and removes it when it is unloaded."""

from qgis.core import QgsApplication

from .provider import TolvaneProvider


class TolvanePlugin:
    def __init__(self, iface):
        self.iface = iface
        self.provider = None

    def initProcessing(self):  # noqa: N802 (the name QGIS calls)
        if self.provider is None:
            self.provider = TolvaneProvider()
            QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self):  # noqa: N802
        self.initProcessing()

    def unload(self):
        if self.provider is not None:
            QgsApplication.processingRegistry().removeProvider(self.provider)
            self.provider = None
