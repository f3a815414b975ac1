"""The hub's own resources: its French texts and its description.

hub.json is what a hub's owner edits to change the page without touching
code; a missing or broken file falls back to the texts in textes.py, so the
page always shows.
"""

import json
from pathlib import Path

from . import textes

DESCRIPTION_FILE = Path(__file__).with_name("hub.json")


def description(hub_name, path=None):
    """Return the hub's description as a dict, with the name filled in."""
    data = {}
    try:
        with open(str(path or DESCRIPTION_FILE), encoding="utf-8") as source:
            loaded = json.load(source)
        if isinstance(loaded, dict):
            data = loaded
    except (OSError, ValueError):
        pass

    def text(key, default):
        value = data.get(key)
        if not isinstance(value, str) or not value.strip():
            value = default
        # str.replace, not format(): a stray brace in hub.json must not break the page.
        return value.replace("{nom}", hub_name)

    entries = data.get("rubriques")
    if not isinstance(entries, list) or not entries:
        entries = textes.RUBRIQUES
    sections = []
    for entry in entries:
        if isinstance(entry, dict) and entry.get("titre"):
            sections.append({
                "titre": str(entry["titre"]).replace("{nom}", hub_name),
                "texte": str(entry.get("texte", "")).replace("{nom}", hub_name),
            })
    return {
        "titre": text("titre", textes.TITRE),
        "accroche": text("accroche", textes.ACCROCHE),
        "rubriques": sections,
    }
