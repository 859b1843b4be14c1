"""QGIS plugin tolvane: the Processing provider "tolvane" and its algorithm
tolvane:elevation, contour lines to an elevation model."""


def classFactory(iface):  # noqa: N802 (the name QGIS calls)
    from .plugin import TolvanePlugin

    return TolvanePlugin(iface)
