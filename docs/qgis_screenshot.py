"""The dialog of tolvane:elevation inside QGIS, on the bundled lines, as a PNG.

Run by QGIS itself at start, on a virtual screen (docs/qgis.md, Tests):
    SHOT_LINES=examples/curvas/colinas.gpkg SHOT_OUT=docs/qgis_elevation_dialog.png \
    xvfb-run -a -s "-screen 0 1440x900x24" qgis --profiles-path PROFILES --nologo --code docs/qgis_screenshot.py
QGIS quits once the picture is saved.
"""

import os

import processing
from qgis.PyQt.QtCore import QTimer
from qgis.PyQt.QtGui import QColor
from qgis.PyQt.QtWidgets import QApplication, QLineEdit
from qgis.utils import iface

LINES = os.path.abspath(os.environ["SHOT_LINES"])
OUT = os.path.abspath(os.environ["SHOT_OUT"])
shown = {}


def open_dialog():
    iface.mainWindow().setGeometry(0, 0, 1440, 900)
    layer = iface.addVectorLayer(LINES, "colinas", "ogr")
    symbol = layer.renderer().symbol()
    symbol.setColor(QColor("#8c5a2b"))
    symbol.setWidth(0.5)
    dialog = processing.createAlgorithmDialog(
        "tolvane:elevation", {"INPUT": layer, "FIELD": "elev", "PIXEL_SIZE": 10, "SMOOTHING": 5}
    )
    dialog.setGeometry(560, 70, 860, 790)
    dialog.show()
    shown["dialog"] = dialog
    QTimer.singleShot(3000, settle)


def settle():
    # The canvas has its size only now; the dialog selects the text of its first field.
    iface.mapCanvas().setExtent(iface.activeLayer().extent())
    iface.mapCanvas().refresh()
    for edit in shown["dialog"].findChildren(QLineEdit):
        edit.deselect()
    QTimer.singleShot(3000, shoot)


def shoot():
    QApplication.primaryScreen().grabWindow(0).save(OUT)
    try:  # a palette of 128 colours keeps the picture a third of the size
        from PIL import Image

        picture = Image.open(OUT).convert("RGB")
        picture.quantize(colors=128, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE).save(OUT, optimize=True)
    except ImportError:
        pass
    os._exit(0)  # QGIS would ask about the unsaved project


# Plugins and the main window are loaded a few seconds after the script runs.
QTimer.singleShot(8000, open_dialog)
