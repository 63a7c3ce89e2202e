#!/usr/bin/env python3
"""Checks on the desktop data files that the validators don't cover.

  check_data.py symbolic-icon ICON.svg
      The icon is a 16x16 single-colour shape drawn with fills only: GTK
      recolours symbolic icons by replacing fills, so a stroke or a second
      colour would not follow the theme.

  check_data.py names APP_HEADER DESKTOP METAINFO ICON SYMBOLIC_ICON
      The application id in the code, the metainfo id and launchable, the
      launcher's icon name and the icon file names all agree, so the desktop
      can match the running window to its launcher and icon.

  check_data.py installed BUILD_ROOT DESKTOP
      The build installs the launcher, metainfo and icons where desktops look
      for them, and the launcher starts a program the build installs.

  check_data.py mime MIME_XML DESKTOP
      The run files' type is well formed: its own name, the *.trellan glob
      and no claim on plain JSON; the launcher opens files of it, handed over
      as paths (%F).
"""

import configparser
import json
import os
import re
import sys
import xml.etree.ElementTree as ET

SVG = "{http://www.w3.org/2000/svg}"
SHAPES = {"path", "circle", "ellipse", "rect", "polygon", "polyline", "line"}
SYMBOLIC_COLOURS = {"#222", "#222222"}


def fail(message):
    print("FAIL: " + message)
    return 1


def style_props(element):
    """Presentation attributes merged with an inline style="..." attribute."""
    props = {k: v for k, v in element.attrib.items() if "}" not in k}
    for decl in element.attrib.get("style", "").split(";"):
        if ":" in decl:
            key, value = decl.split(":", 1)
            props[key.strip()] = value.strip()
    return props


def check_symbolic_icon(path):
    root = ET.parse(path).getroot()
    errors = 0
    if root.tag != SVG + "svg":
        return fail(f"{path}: root element is not an SVG element")
    if root.get("viewBox", "").split() != ["0", "0", "16", "16"]:
        errors += fail(f"{path}: viewBox is {root.get('viewBox')!r}, not '0 0 16 16'")
    shapes = 0
    for element in root.iter():
        tag = element.tag.replace(SVG, "")
        props = style_props(element)
        stroke = props.get("stroke", "none")
        if stroke != "none":
            errors += fail(f"{path}: <{tag}> has stroke {stroke!r}")
        if tag in SHAPES:
            shapes += 1
            fill = props.get("fill", "#000000").lower()
            if fill not in SYMBOLIC_COLOURS:
                errors += fail(f"{path}: <{tag}> is filled with {fill!r}, not #222")
        if tag in ("linearGradient", "radialGradient", "image", "text"):
            errors += fail(f"{path}: <{tag}> has no place in a symbolic icon")
    if shapes == 0:
        errors += fail(f"{path}: draws nothing")
    return errors


def app_id_from_header(path):
    with open(path, encoding="utf-8") as f:
        match = re.search(r'APP_ID\s*=\s*"([^"]+)"', f.read())
    return match.group(1) if match else None


def read_desktop(path):
    parser = configparser.ConfigParser(interpolation=None, strict=True)
    parser.optionxform = str  # keys are case-sensitive
    with open(path, encoding="utf-8") as f:
        parser.read_file(f)
    return parser["Desktop Entry"]


def check_names(header, desktop, metainfo, icon, symbolic_icon):
    app_id = app_id_from_header(header)
    if not app_id:
        return fail(f"{header}: no APP_ID definition found")
    errors = 0
    entry = read_desktop(desktop)
    component = ET.parse(metainfo).getroot()

    expected = {
        "desktop file name": (os.path.basename(desktop), app_id + ".desktop"),
        "launcher Icon": (entry.get("Icon"), app_id),
        "metainfo file name": (os.path.basename(metainfo), app_id + ".metainfo.xml"),
        "metainfo id": (component.findtext("id"), app_id),
        "metainfo launchable": (component.findtext("launchable[@type='desktop-id']"),
                                app_id + ".desktop"),
        "icon file name": (os.path.basename(icon), app_id + ".svg"),
        "symbolic icon file name": (os.path.basename(symbolic_icon),
                                    app_id + "-symbolic.svg"),
    }
    for what, (actual, wanted) in expected.items():
        if actual != wanted:
            errors += fail(f"{what} is {actual!r}, expected {wanted!r}")
    return errors


def check_installed(build_root, desktop):
    plan_file = os.path.join(build_root, "meson-info", "intro-install_plan.json")
    with open(plan_file, encoding="utf-8") as f:
        plan = json.load(f)
    # Destinations such as "{datadir}/applications/x.desktop".
    destinations = {item["destination"].replace(os.sep, "/")
                    for category in plan.values() for item in category.values()}

    errors = 0
    entry = read_desktop(desktop)
    app_id = os.path.basename(desktop)[: -len(".desktop")]
    wanted = [
        f"{{datadir}}/applications/{app_id}.desktop",
        f"{{datadir}}/metainfo/{app_id}.metainfo.xml",
        f"{{datadir}}/icons/hicolor/scalable/apps/{app_id}.svg",
        f"{{datadir}}/icons/hicolor/symbolic/apps/{app_id}-symbolic.svg",
        f"{{datadir}}/mime/packages/{app_id}.xml",
    ]
    for path in wanted:
        if path not in destinations:
            errors += fail(f"{path} is not installed; installed: {sorted(destinations)}")

    exec_line = entry.get("Exec", "").split()
    program = exec_line[0] if exec_line else ""
    if not program or "/" in program:
        errors += fail(f"Exec is {entry.get('Exec')!r}; it should start with a program name")
    elif f"{{bindir}}/{program}" not in destinations:
        errors += fail(f"Exec runs {program!r}, which the build does not install in bindir")
    return errors


MIME = "{http://www.freedesktop.org/standards/shared-mime-info}"
RUNS_TYPE = "application/x-trellan-runs"


def check_mime(mime_xml, desktop):
    errors = 0
    root = ET.parse(mime_xml).getroot()
    if root.tag != MIME + "mime-info":
        return fail(f"{mime_xml}: the root is {root.tag}, not mime-info")
    types = root.findall(MIME + "mime-type")
    names = [t.get("type") for t in types]
    if names != [RUNS_TYPE]:
        errors += fail(f"{mime_xml}: defines {names}, expected only {RUNS_TYPE}")
    globs = [g.get("pattern") for t in types for g in t.findall(MIME + "glob")]
    if "*.trellan" not in globs:
        errors += fail(f"{mime_xml}: no *.trellan glob (has {globs})")
    for pattern in globs:
        if pattern.lower().endswith(".json"):
            errors += fail(f"{mime_xml}: claims plain JSON with {pattern!r}")
    for t in types:
        if not t.findtext(MIME + "comment"):
            errors += fail(f"{mime_xml}: {t.get('type')} has no comment to show in file managers")
    entry = read_desktop(desktop)
    if RUNS_TYPE not in entry.get("MimeType", "").split(";"):
        errors += fail(f"{desktop}: MimeType does not list {RUNS_TYPE}")
    if "%F" not in entry.get("Exec", "").split():
        errors += fail(f"{desktop}: Exec {entry.get('Exec')!r} takes no files (%F)")
    return errors


def main(argv):
    if len(argv) >= 2:
        command, args = argv[1], argv[2:]
        if command == "symbolic-icon" and len(args) == 1:
            return 1 if check_symbolic_icon(*args) else 0
        if command == "names" and len(args) == 5:
            return 1 if check_names(*args) else 0
        if command == "installed" and len(args) == 2:
            return 1 if check_installed(*args) else 0
        if command == "mime" and len(args) == 2:
            return 1 if check_mime(*args) else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
