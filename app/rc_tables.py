#!/usr/bin/env python3
"""Writes the dialog templates and strings of a resource script as C++ tables, for the build
that has no resource section: brevlo.rc stays their one source.

    rc_tables.py SCRIPT OUTPUT

Reads the statements brevlo.rc uses (DIALOG/DIALOGEX with STYLE, EXSTYLE, CAPTION, FONT and
CONTROL, ICON, LTEXT, CTEXT, DEFPUSHBUTTON; STRINGTABLE) and keeps every style and id as the
expression the script spells, so the compiler resolves the names from the same headers.
"""
import sys

# What windres gives each kind of control before the script's own styles are added.
KINDS = {
    "LTEXT": ("Static", "SS_LEFT | WS_GROUP"),
    "CTEXT": ("Static", "SS_CENTER | WS_GROUP"),
    "DEFPUSHBUTTON": ("Button", "BS_DEFPUSHBUTTON | WS_TABSTOP"),
    "ICON": ("Static", "SS_ICON"),
}


class ScriptError(Exception):
    pass


def tokens(script):
    """Strings (kept with a leading quote), words and punctuation, and a newline token per
    line; comments and preprocessor lines are dropped."""
    out = []
    for line in script.splitlines():
        stripped = line.strip()
        if not stripped or stripped.startswith("#") or stripped.startswith("//"):
            continue
        i = 0
        while i < len(line):
            c = line[i]
            if c in " \t\r":
                i += 1
            elif c == '"':
                text = '"'
                i += 1
                while i < len(line):
                    if line[i] == '"' and line[i + 1:i + 2] == '"':
                        text += '"'
                        i += 2
                    elif line[i] == '"':
                        i += 1
                        break
                    else:
                        text += line[i]
                        i += 1
                out.append(text)
            elif c in ",|":
                out.append(c)
                i += 1
            elif line.startswith("//", i):
                break
            else:
                end = i
                while end < len(line) and line[end] not in ' \t\r,|"':
                    end += 1
                out.append(line[i:end])
                i = end
        out.append("\n")
    return out


class Reader:
    def __init__(self, toks):
        self.t = toks
        self.at = 0

    def peek(self):
        if self.at >= len(self.t):
            raise ScriptError("the script ends early")
        return self.t[self.at]

    def take(self):
        word = self.peek()
        self.at += 1
        return word

    def expression(self):
        parts = [self.take()]
        while self.at < len(self.t) and self.t[self.at] == "|":
            self.at += 1
            parts.append(self.take())
        for part in parts:
            if part.startswith('"') or part in (",", "\n"):
                raise ScriptError("a value was expected, not %r" % part)
        return " | ".join(parts)

    def text(self):
        word = self.take()
        if not word.startswith('"'):
            raise ScriptError("a string was expected, not %r" % word)
        return word[1:]

    def comma(self):
        if self.take() != ",":
            raise ScriptError("a comma was expected")

    def skip_lines(self):
        while self.peek() == "\n":
            self.at += 1


def literal(text):
    return 'u"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def dialog(r, name):
    r.take()  # DIALOG or DIALOGEX
    r.expression(), r.comma(), r.expression(), r.comma()
    cx = r.expression()
    r.comma()
    cy = r.expression()
    style, ex_style, caption = "0", "0", ""
    while r.peek() != "BEGIN":
        word = r.take()
        if word == "STYLE":
            style = r.expression()
        elif word == "EXSTYLE":
            ex_style = r.expression()
        elif word == "CAPTION":
            caption = r.text()
    r.take()
    controls = []
    while True:
        r.skip_lines()
        keyword = r.take()
        if keyword == "END":
            break
        text = ""
        if keyword == "CONTROL":
            if r.peek().startswith('"'):
                text = r.text()
            else:
                r.expression()  # a resource number: the icon it shows
        elif keyword == "ICON":
            r.expression()
        elif keyword in KINDS:
            text = r.text()
        else:
            raise ScriptError("unknown control statement %s in %s" % (keyword, name))
        r.comma()
        ident = r.expression()
        if keyword == "CONTROL":
            r.comma()
            window_class = r.text()
            r.comma()
            control_style = r.expression()
        else:
            window_class, control_style = KINDS[keyword]
        place = []
        for _ in range(4):
            r.comma()
            place.append(r.expression())
        if r.at < len(r.t) and r.t[r.at] == ",":
            r.at += 1
            control_style += " | " + r.expression()
        controls.append((window_class, text, ident, place, control_style))
    return (name, caption, style, ex_style, cx, cy, controls)


def read(script):
    r = Reader(tokens(script))
    dialogs, strings = [], []
    while r.at < len(r.t):
        word = r.take()
        if word == "STRINGTABLE":
            while r.take() != "BEGIN":
                pass
            while True:
                r.skip_lines()
                ident = r.take()
                if ident == "END":
                    break
                if r.peek() == ",":
                    r.at += 1
                strings.append((ident, r.text()))
        elif r.at < len(r.t) and r.t[r.at] in ("DIALOG", "DIALOGEX"):
            dialogs.append(dialog(r, word))
    return dialogs, strings


def emit(dialogs, strings, source):
    lines = [
        "// Generated from %s by app/rc_tables.py at build time; edit the script, not this."
        % source,
        '#include "app/resources.h"',
        "",
        "#include <iterator>",
        "",
        '#include "app/resource.h"',
        "",
        "namespace {",
        "",
    ]
    for number, (name, _, _, _, _, _, controls) in enumerate(dialogs):
        lines.append("const ui::ControlTemplate kControls%d[] = {  // %s" % (number, name))
        for window_class, text, ident, place, style in controls:
            lines.append("    {%s, %s, %s, %s, %s}," % (literal(window_class), literal(text), ident,
                                                       ", ".join(place), style))
        lines += ["};", ""]
    lines.append("const ui::DialogTemplate kDialogs[] = {")
    for number, (name, caption, style, ex_style, cx, cy, _) in enumerate(dialogs):
        lines.append("    {%s, %s, %s, %s, %s, %s, kControls%d, std::size(kControls%d)}," %
                     (name, literal(caption), style, ex_style, cx, cy, number, number))
    lines += ["};", "", "const ui::StringResource kStrings[] = {"]
    for ident, text in strings:
        lines.append("    {%s, %s}," % (ident, literal(text)))
    lines += [
        "};",
        "",
        "const UINT kIcons[] = {IDR_MAINFRAME};",
        "",
        "}  // namespace",
        "",
        "const ui::ResourceModule kResourceModule = {",
        "    kDialogs, std::size(kDialogs), kStrings, std::size(kStrings), kIcons, std::size(kIcons)};",
        "",
    ]
    return "\n".join(lines)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: rc_tables.py SCRIPT OUTPUT")
    with open(sys.argv[1], encoding="utf-8") as f:
        script = f.read()
    try:
        dialogs, strings = read(script)
    except ScriptError as error:
        sys.exit("%s: %s" % (sys.argv[1], error))
    if not dialogs or not strings:
        sys.exit("%s: no dialogs or no strings found" % sys.argv[1])
    text = emit(dialogs, strings, "brevlo.rc")
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
