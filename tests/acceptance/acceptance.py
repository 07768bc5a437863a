#!/usr/bin/env python3
"""The real program in a virtual X server, driven as a person drives it.

Starts `orvalis` on a sample database of its own in Xvfb, clicks the
drop-down lists open and clicks their entries with the pointer (xdotool),
types keys, presses buttons, and checks what happened two ways: in the
database (read with Python's sqlite3 module) and in what the windows show
(screenshots read back by French OCR, tesseract).

    tests/acceptance/acceptance.py --build BUILD_DIR [--out DIR] [--only bare|openbox]

It runs twice: on a bare X server, where nothing manages the windows, and
under a window manager (openbox), which decorates them, places them and
moves the focus between them. Exit status 0 when every check passed, 1
otherwise. The screenshots stay in --out (BUILD_DIR/acceptance by
default), one folder per run.
"""

import argparse
import difflib
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unicodedata

# Where the forms put the controls (left, top, width, height), in the
# coordinates of each window's client area.
MAIN = {
    "btnTableauSuivi": (17, 16, 424, 281),
    "btnParamNiveau": (447, 16, 209, 90),
    "btnParamNiveauAgence": (447, 111, 209, 90),
}
TRACKING = {
    "cblNiveau": (16, 32, 202, 21),
    "cblAgence": (224, 32, 202, 21),
    "cblUtilisateur": (432, 32, 202, 21),
    "cblFournisseur": (640, 32, 202, 21),
    "cblPeriode": (848, 32, 96, 21),
    "cblEtendue": (952, 32, 120, 21),
    "cblComparaison": (1080, 32, 150, 21),
    "lvData": (16, 72, 1214, 574),
}
LEVELS = {
    "cblUtilisateurs": (24 + 16, 8 + 31, 345, 21),
    "btnAjouter": (24 + 373, 8 + 31, 75, 66),
    "edtNiveau": (40, 85, 345, 21),
    "lvNiveau": (24, 152, 467, 297),
}
LINKS = {
    "cblNiveaux": (24, 27, 467, 21),
    "cblAgences": (24 + 22, 54 + 28, 345, 21),
    "btnAjouter": (24 + 384, 54 + 13, 75, 51),
    "lvNiveau": (24, 152, 467, 297),
}

FREE_USERS = ("SELECT code, libelle FROM dim_utilisateur WHERE code not in( SELECT distinct code FROM dim_niveau)"
              " ORDER BY libelle ASC")
LEVEL_COMBO = "SELECT code, libelle FROM dim_niveau ORDER BY libelle ASC"


class Failure(Exception):
    pass


class Run:
    def __init__(self, build, out, window_manager=None):
        self.build = build
        self.out = out
        self.window_manager = window_manager
        self.checks = 0
        self.failures = []
        self.started = time.monotonic()
        self.shots = 0

    # --- the virtual screen -------------------------------------------------

    def start_screen(self):
        """A virtual screen on the first display number that is free and
        answers. Without -noreset the server resets when its last client
        leaves: the probe's own disconnection would then race the program's
        first connection ("could not connect to display")."""
        for number in range(40, 140):
            if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                                     "-noreset"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            env = dict(os.environ, DISPLAY=":%d" % number)
            for name in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY"):
                env.pop(name, None)
            deadline = time.monotonic() + 10
            while xvfb.poll() is None and time.monotonic() < deadline:
                answer = subprocess.run(["xdotool", "getdisplaygeometry"], env=env, capture_output=True, text=True)
                if answer.returncode == 0:
                    self.xvfb, self.env = xvfb, env
                    if self.window_manager:
                        self.manager = subprocess.Popen([self.window_manager], env=env,
                                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                        time.sleep(1)
                    return
                time.sleep(0.1)
            xvfb.kill()
            xvfb.wait()
        raise Failure("no virtual screen could be started")

    def stop(self):
        for process in (getattr(self, "program", None), getattr(self, "manager", None), getattr(self, "xvfb", None)):
            if process and process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()

    def xdo(self, *args):
        return subprocess.run(["xdotool", *map(str, args)], env=self.env, check=True, capture_output=True,
                              text=True).stdout

    # --- windows ------------------------------------------------------------

    def visible_windows(self):
        try:
            found = self.xdo("search", "--onlyvisible", "--pid", self.program.pid, "").split()
        except subprocess.CalledProcessError:
            return []
        return [int(w) for w in found]

    def title(self, window):
        try:
            return self.xdo("getwindowname", window).strip()
        except subprocess.CalledProcessError:
            return ""

    def geometry(self, window):
        """Where the window's client area is on the screen. (xwininfo: under
        a window manager that frames windows, xdotool counts the frame's
        offset twice.)"""
        info = subprocess.run(["xwininfo", "-id", str(window)], env=self.env, check=True, capture_output=True,
                              text=True).stdout
        value = lambda key: int(re.search(key + r":\s*(-?\d+)", info).group(1))
        return value("Absolute upper-left X"), value("Absolute upper-left Y"), value("Width"), value("Height")

    def wait_window(self, title, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for window in self.visible_windows():
                if self.title(window) == title:
                    time.sleep(0.3)  # the first activation fills it
                    return window
            time.sleep(0.1)
        raise Failure("no window '%s' (shown: %s; the program %s)" % (
            title, [self.title(w) for w in self.visible_windows()],
            "runs" if self.program.poll() is None else "ended with %s" % self.program.returncode))

    def wait_gone(self, window, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if window not in self.visible_windows():
                return
            time.sleep(0.1)
        raise Failure("window %s stayed open" % window)

    # --- the pointer and the keys -------------------------------------------

    def point(self, x, y):
        # Not --sync: it waits for a move that never comes when the pointer
        # is there already.
        self.xdo("mousemove", x, y)
        time.sleep(0.1)

    def click(self, x, y, button=1):
        self.point(x, y)
        self.xdo("click", button)

    def click_control(self, window, form, name, button=1):
        wx, wy, _, _ = self.geometry(window)
        left, top, width, height = form[name]
        self.click(wx + left + width // 2, wy + top + height // 2, button)

    def double_click_control(self, window, form, name):
        wx, wy, _, _ = self.geometry(window)
        left, top, width, height = form[name]
        self.point(wx + left + width // 2, wy + top + height // 2)
        self.xdo("click", "--repeat", 2, "--delay", 80, 1)

    def keys(self, *names):
        self.xdo("key", "--delay", 60, *names)

    def type_text(self, text):
        self.xdo("type", "--delay", 40, text)

    def pick(self, window, form, name, index, entries, shot=None):
        """Opens the drop-down `name` with a click and clicks its entry
        `index` of `entries` in the opened list."""
        before = set(self.visible_windows())
        self.click_control(window, form, name)
        wx, wy, _, _ = self.geometry(window)
        left, top, width, height = form[name]
        popup = None
        deadline = time.monotonic() + 5
        while popup is None and time.monotonic() < deadline:
            for candidate in set(self.visible_windows()) - before:
                x, y, w, h = self.geometry(candidate)
                if abs(x - (wx + left)) < 40 and h > 10:
                    popup = (candidate, x, y, w, h)
            time.sleep(0.05)
        if popup is None:
            raise Failure("the list %s did not open" % name)
        candidate, x, y, w, h = popup
        visible = min(len(entries), 20 if name in ("cblUtilisateur", "cblFournisseur") else 10)
        if index >= visible:
            raise Failure("entry %d of %s is below the fold" % (index, name))
        row = (h - 2) / visible
        time.sleep(0.5)  # no click within a double click of the opening one
        if shot:
            self.point(x + w // 2, int(y + 1 + row * (index + 0.5)))
            time.sleep(0.2)
            self.screenshot(shot)
        self.click(x + w // 2, int(y + 1 + row * (index + 0.5)))
        self.wait_gone(candidate)
        time.sleep(0.8)  # the cascade and the repaint

    # --- what the windows show ----------------------------------------------

    def screenshot(self, name):
        self.shots += 1
        path = os.path.join(self.out, "%02d-%s.png" % (self.shots, name))
        subprocess.run(["import", "-window", "root", path], env=self.env, check=True, capture_output=True)
        return path

    def read(self, window, form, name, name_of_shot):
        """The text lines OCR reads in control `name` of `window`."""
        path = self.screenshot(name_of_shot)
        wx, wy, _, _ = self.geometry(window)
        left, top, width, height = form[name]
        crop = os.path.join(self.out, "ocr.png")
        subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (width, height, wx + left, wy + top), "+repage",
                        "-resize", "200%", crop], check=True, capture_output=True)
        # One thread: much quicker on images this small.
        text = subprocess.run(["tesseract", crop, "-", "-l", "fra", "--psm", "6"], check=True, capture_output=True,
                              text=True, env=dict(os.environ, OMP_THREAD_LIMIT="1")).stdout
        os.remove(crop)
        return [line.strip() for line in text.splitlines() if line.strip()]

    # --- checks -------------------------------------------------------------

    def check(self, what, ok, detail=""):
        self.checks += 1
        print("%5.1f s  %s  %s%s" % (time.monotonic() - self.started, "ok  " if ok else "FAIL", what,
                                     ("  (" + detail + ")") if detail and not ok else ""), flush=True)
        if not ok:
            self.failures.append(what)

    @staticmethod
    def plain(text):
        text = unicodedata.normalize("NFKD", text)
        return "".join(c for c in text if c.isalnum()).lower()

    @classmethod
    def shows(cls, lines, label):
        """Whether one of the lines starts with `label` (a label cut with an
        ellipsis counts up to its cut)."""
        want = cls.plain(label)
        for line in lines:
            # Where the table cuts a label it ends it with an ellipsis, which
            # OCR may read as dots.
            cut = re.search(r"…|\.{1,3}(?=\s|$)", line)
            head = cls.plain(line[: cut.start()]) if cut else ""
            if len(head) >= 8 and want.startswith(head):
                return True
            # ...or loses the ellipsis itself: the text before the figures.
            figures = re.search(r"\s-?\d[\d.,]*\s", line)
            head = cls.plain(line[: figures.start()]) if figures else ""
            if len(head) >= 12 and want.startswith(head):
                return True
            words = cls.plain(line)
            if difflib.SequenceMatcher(None, want, words[: len(want)]).ratio() >= 0.85:
                return True
        return False

    def check_rows(self, what, lines, labels):
        """The table shows these labels as its rows, in this order."""
        body = lines[1:] if lines and "Montant" in lines[0] else lines
        # The totals line under the rows is not a row.
        body = [line for line in body if not self.plain(line).startswith("total")]
        missing = [label for label in labels if not self.shows(body, label)]
        self.check("%s: %d rows" % (what, len(labels)), not missing and len(body) == len(labels),
                   "missing %s; read %s" % (missing, body))

    def check_amount(self, what, lines, label, amount):
        """The row of `label` shows `amount` as its first figure."""
        want = re.sub(r"\D", "", "%.2f" % amount)
        for line in lines:
            if self.shows([line], label):
                digits = [re.sub(r"\D", "", n) for n in re.findall(r"\d[\d.,]*", line)]
                self.check(what, want in digits, "row '%s', want %.2f" % (line, amount))
                return
        self.check(what, False, "no row %s in %s" % (label, lines))

    def check_compared(self, what, lines, label, compared, change):
        """The line under the row of `label` starts with `compared`, then
        the change in percent (none: no percent before the next figure)."""
        want = re.sub(r"\D", "", "%.2f" % compared)
        signed = lambda text: re.sub(r"[^\d+-]", "", text)

        def reads(line):
            # The label stands between its row's two lines: OCR gives it
            # with either of them.
            numbers = re.findall(r"[-+]?\d[\d.,]*%?", line[len(label) if self.shows([line], label) else 0:])
            first = re.sub(r"\D", "", numbers[0]) if numbers else ""
            # The mark before the change may read as a digit.
            percent = [n for n in numbers[1:3] if n.endswith("%")]
            if change is None:
                return first == want and not percent
            return first == want and percent and signed(percent[0]) == signed("%+.2f" % change)

        for i, line in enumerate(lines):
            if self.shows([line], label):
                near = lines[max(0, i - 1): i + 2]
                self.check(what, any(reads(l) for l in near),
                           "lines %s, want %.2f then %s" % (near, compared, change))
                return
        self.check(what, False, "no row %s in %s" % (label, lines))


def months_back(count):
    today = time.localtime()
    year, month = today.tm_year, today.tm_mon - count
    while month < 1:
        month += 12
        year -= 1
    return year, month


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--out")
    parser.add_argument("--only", choices=("bare", "openbox"))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    out = os.path.abspath(args.out or os.path.join(build, "acceptance"))
    shutil.rmtree(out, ignore_errors=True)

    started = time.monotonic()
    checks = failures = 0
    for name in ("bare", "openbox"):
        if args.only and args.only != name:
            continue
        print("-- %s" % ("a bare X server, no window manager" if name == "bare" else "under a window manager (openbox)"))
        run = one_run(build, os.path.join(out, name), None if name == "bare" else "openbox")
        checks += run.checks
        failures += len(run.failures)
    print("%d checks, %d failed, %.0f s; screenshots in %s" % (checks, failures, time.monotonic() - started, out))
    return 1 if failures else 0


def one_run(build, out, window_manager):
    os.makedirs(out)
    scratch = tempfile.mkdtemp(prefix="orvalis-acceptance-")
    db_path = os.path.join(scratch, "acceptance.db")
    subprocess.run([os.path.join(build, "orvalis-sample"), db_path, "--rows", "20000", "--seed", "11"], check=True,
                   capture_output=True)
    db = sqlite3.connect(db_path)
    q = lambda sql, *p: db.execute(sql, p).fetchall()

    run = Run(build, out, window_manager)
    try:
        run.start_screen()
        log = open(os.path.join(out, "orvalis.log"), "w")
        run.program = subprocess.Popen([os.path.join(build, "orvalis"), db_path, "VEXOR"], env=run.env, stdout=log,
                                       stderr=subprocess.STDOUT)
        main_window = run.wait_window("Orvalis")
        tracking(run, q, main_window)
        levels(run, q, main_window)
        links(run, q, main_window)
    except (Failure, subprocess.CalledProcessError) as e:
        run.check("the run went to its end", False, str(e))
        run.screenshot("failure")
    finally:
        run.stop()
        db.close()
        shutil.rmtree(scratch, ignore_errors=True)
    return run


def tracking(run, q, main_window):
    """Level, agency, user, supplier and month, each picked with the mouse."""
    run.click_control(main_window, MAIN, "btnTableauSuivi")
    table = run.wait_window("Tableau de suivi")
    year, month = months_back(0)
    levels = q("SELECT code, libelle FROM dim_niveau ORDER BY libelle ASC")
    run.check_rows("the level rows", run.read(table, TRACKING, "lvData", "levels"), [l for _, l in levels])

    # A level with several agencies, one of which has users this month and
    # last month; within the first entries of each list.
    def agencies_of(level):
        return q("SELECT a.code, a.libelle FROM dim_agence a, niveau_agence n WHERE a.code = n.agence"
                 " AND n.niveau = ? ORDER BY libelle ASC", level)

    def users_of(agency, y, m):
        return q("SELECT distinct u.code, u.libelle FROM dim_utilisateur u, data d WHERE d.dim_agence = ?"
                 " AND u.code = d.dim_utilisateur AND d.period_year = ? AND d.period_month = ?"
                 " ORDER BY u.libelle ASC", agency, y, m)

    last_year, last_month = months_back(1)
    choice = None
    for li, (level, _) in enumerate(levels[:9]):
        agencies = agencies_of(level)
        for ai, (agency, _) in enumerate(agencies[:9]):
            if len(agencies) >= 2 and len(users_of(agency, year, month)) >= 2 and users_of(agency, last_year, last_month):
                choice = (li, level, ai, agency)
                break
        if choice:
            break
    if not choice:
        raise Failure("the sample has no level to drill into")
    li, level, ai, agency = choice
    level_label = levels[li][1]

    run.pick(table, TRACKING, "cblNiveau", li + 1, [None] + levels, shot="level-list-open")
    agencies = agencies_of(level)
    run.check_rows("after a level picked with the mouse, its agencies", run.read(table, TRACKING, "lvData", "agencies"),
                   [l for _, l in agencies])
    run.check("the level list keeps the pick", run.shows(run.read(table, TRACKING, "cblNiveau", "level-kept"), level_label))

    users = users_of(agency, year, month)
    run.pick(table, TRACKING, "cblAgence", ai + 1, [None] + agencies, shot="agency-list-open")
    lines = run.read(table, TRACKING, "lvData", "users")
    run.check_rows("after an agency picked with the mouse, its users this month", lines, [l for _, l in users])
    # The totals line: every fact of those users in the agency, this month.
    total = q("SELECT TOTAL(valeur) FROM data WHERE code_account = 'MONTANT_DEVIS_VENTE_HT' AND period_year = ?"
              " AND period_month = ? AND dim_agence = ? AND dim_utilisateur IN (SELECT code FROM dim_utilisateur)",
              year, month, agency)[0][0]
    run.check_amount("the totals line under the users: their amount", lines, "Total", total)

    user, user_label = users[0]
    run.pick(table, TRACKING, "cblUtilisateur", 1, [None] + users)
    run.check_rows("after a user picked with the mouse, that user", run.read(table, TRACKING, "lvData", "one-user"),
                   [user_label])

    def ht(y, m, user_code, supplier=None):
        sql = ("SELECT TOTAL(valeur) FROM data WHERE code_account = 'MONTANT_DEVIS_VENTE_HT' AND period_year = ?"
               " AND period_month = ? AND dim_agence = ? AND dim_utilisateur = ?")
        params = [y, m, agency, user_code]
        if supplier is not None:
            sql += " AND dim_fournisseur = ?"
            params.append(supplier)
        return q(sql, *params)[0][0]

    # The supplier with the most of that user's amount this month.
    suppliers = q("SELECT code, libelle FROM dim_fournisseur ORDER BY libelle ASC")
    ranked = sorted(range(min(len(suppliers), 19)), key=lambda i: -ht(year, month, user, suppliers[i][0]))
    si = ranked[0]
    run.check_amount("the user's amount before the supplier", run.read(table, TRACKING, "lvData", "user-amount"),
                     user_label, ht(year, month, user))
    run.pick(table, TRACKING, "cblFournisseur", si + 1, [None] + suppliers, shot="supplier-list-open")
    lines = run.read(table, TRACKING, "lvData", "supplier")
    run.check_amount("after a supplier picked with the mouse, the amount of that supplier", lines, user_label,
                     ht(year, month, user, suppliers[si][0]))
    run.check("the level list keeps its level after the supplier",
              run.shows(run.read(table, TRACKING, "cblNiveau", "level-after-supplier"), level_label))

    run.pick(table, TRACKING, "cblPeriode", 1, [None] * 13, shot="month-list-open")
    last_users = users_of(agency, last_year, last_month)
    lines = run.read(table, TRACKING, "lvData", "last-month")
    run.check_rows("after last month picked with the mouse, the agency's users then", lines,
                   [l for _, l in last_users])
    code, label = last_users[0]
    run.check_amount("last month's amount, of that supplier", lines, label,
                     ht(last_year, last_month, code, suppliers[si][0]))
    run.check("the level list keeps its level after the month",
              run.shows(run.read(table, TRACKING, "cblNiveau", "level-after-month"), level_label))

    # Every supplier again, and the same users against the month before:
    # under each figure its value then and the change.
    before_year, before_month = months_back(2)
    run.pick(table, TRACKING, "cblFournisseur", 0, [None] + suppliers)
    run.pick(table, TRACKING, "cblComparaison", 1, ["—", "Mois précédent", "Même période N-1"],
             shot="comparison-list-open")
    lines = run.read(table, TRACKING, "lvData", "compared")
    # A user with an amount then, if one has.
    code, label = max(last_users, key=lambda u: ht(before_year, before_month, u[0]) != 0)
    now, then = ht(last_year, last_month, code), ht(before_year, before_month, code)
    run.check_compared("against the month before, the amount then and its change", lines, label, then,
                       None if then == 0 else (now - then) / abs(then) * 100)
    run.keys("Escape")
    run.wait_gone(table)


def levels(run, q, main_window):
    """The third free user picked with the mouse, a label typed, "Ajouter"
    double-clicked."""
    run.click_control(main_window, MAIN, "btnParamNiveau")
    window = run.wait_window("Paramétrage : Chef de secteur")
    free = q(FREE_USERS)
    if len(free) < 3:
        raise Failure("the sample has fewer than three users without a level")
    code, name = free[2]
    run.pick(window, LEVELS, "cblUtilisateurs", 2, free, shot="free-users-open")
    label = "Secteur Essai"
    run.click_control(window, LEVELS, "edtNiveau")
    run.type_text(label)
    # A context menu on the label field, and the list opened and left with
    # Escape: neither may undo the pick.
    run.click_control(window, LEVELS, "edtNiveau", button=3)
    time.sleep(0.5)
    run.screenshot("label-context-menu")
    run.keys("Escape")
    time.sleep(0.3)
    run.click_control(window, LEVELS, "cblUtilisateurs")
    time.sleep(0.5)
    run.keys("Escape")
    time.sleep(0.5)
    # A double click: one level, the picked user's, whatever the window
    # selects after its reload.
    run.double_click_control(window, LEVELS, "btnAjouter")
    time.sleep(1)
    written = q("SELECT code, libelle FROM dim_niveau WHERE libelle = ?", label)
    run.check("the level written is the picked user's (%s)" % name, written == [(code, label)], "written %s" % written)
    lines = run.read(window, LEVELS, "lvNiveau", "level-added")
    run.check("the level list shows it", any(run.shows([l], name) and run.plain(label) in run.plain(l) for l in lines),
              "read %s" % lines)
    run.keys("Escape")
    run.wait_gone(window)


def links(run, q, main_window):
    """The second level, then its third free agency, picked with the mouse;
    "Ajouter" double-clicked."""
    run.click_control(main_window, MAIN, "btnParamNiveauAgence")
    window = run.wait_window("Paramétrage des agences par Chef de secteur")
    levels = q(LEVEL_COMBO)
    level, level_label = levels[1]
    run.pick(window, LINKS, "cblNiveaux", 1, levels)
    free = q("SELECT code, libelle FROM dim_agence WHERE code not in(  SELECT distinct agence FROM niveau_agence"
             " WHERE niveau = ? ) ORDER BY libelle ASC", level)
    agency, agency_label = free[2]
    run.pick(window, LINKS, "cblAgences", 2, free, shot="free-agencies-open")
    before = q("SELECT count(*) FROM niveau_agence")[0][0]
    run.double_click_control(window, LINKS, "btnAjouter")
    time.sleep(1)
    linked = q("SELECT count(*) FROM niveau_agence WHERE niveau = ? AND agence = ?", level, agency)[0][0]
    run.check("the agency linked is the picked one (%s, to %s)" % (agency_label, level_label),
              linked == 1 and q("SELECT count(*) FROM niveau_agence")[0][0] == before + 1)
    run.check("the list shows it", run.shows(run.read(window, LINKS, "lvNiveau", "agency-linked"), agency_label))
    run.keys("Escape")
    run.wait_gone(window)


if __name__ == "__main__":
    sys.exit(main())
