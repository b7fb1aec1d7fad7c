#!/usr/bin/python3
"""The live page's trends in headless Chromium: the unit page's charts and
the overview's sparklines, against an agent polling a drifting simulator on
loopback that falls silent for a while. Same arguments and fixtures as
browser_test.py:

  browser_trends_test.py AGENT SIM SCREENSHOT_DIR DOCS_DIR

QUILLARK_UPDATE_DOCS=1 also copies the screenshots into DOCS_DIR.
"""
import csv
import io
import json
import os
import shutil
import sys
import tempfile
import unittest
import urllib.parse
import urllib.request

from browser_test import AGENT, CHROMEDRIVER, DOCS, INTERVAL, ROUND, SHOTS, SIM, TOKEN, Process, free_port, \
    wait_for

POINT = "indoor_return_air_temperature_measured"
MUTED_FOR = 6  # requests left unanswered: as many failed rounds, each cut short by its first timeout


class Trends(unittest.TestCase):
    """One scenario in steps that share the agent and the browser."""

    @classmethod
    def setUpClass(cls):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        cls.dir = tempfile.mkdtemp(prefix="quillark-trends-")
        cls.procs = []
        port_file = os.path.join(cls.dir, "sim.port")
        # Drifting values; silent from the start of round 21 for a few rounds.
        cls.sim = Process([SIM, "--tcp", "127.0.0.1:0", "--port-file", port_file, "--verbose",
                           "--mute-after", str(ROUND * 20), "--mute-for", str(MUTED_FOR)],
                          os.path.join(cls.dir, "sim.err"))
        cls.procs.append(cls.sim)
        assert wait_for(lambda: os.path.exists(port_file), 15), cls.sim.err()
        with open(port_file) as f:
            sim_port = int(f.read())
        with open(os.path.join(cls.dir, "token"), "w") as f:
            f.write(TOKEN + "\n")
        cls.base = "http://127.0.0.1:%d" % free_port()
        os.mkdir(os.path.join(cls.dir, "state"))
        config = ('[http]\nlisten = "%s"\ntoken_file = "%s"\n[agent]\nstate_dir = "%s"\n'
                  '[[link]]\nname = "row1"\ntcp = "127.0.0.1:%d"\ntimeout_ms = 200\nretries = 0\n'
                  '[[unit]]\nname = "ac1"\nlink = "row1"\nunit_id = 1\ninterval = %s\n'
                  % (cls.base[len("http://"):], os.path.join(cls.dir, "token"), os.path.join(cls.dir, "state"),
                     sim_port, INTERVAL))
        with open(os.path.join(cls.dir, "agent.toml"), "w") as f:
            f.write(config)
        cls.agent = Process([AGENT, "--config", os.path.join(cls.dir, "agent.toml")],
                            os.path.join(cls.dir, "agent.err"))
        cls.procs.append(cls.agent)
        assert wait_for(lambda: "live view on" in cls.agent.err(), 15), cls.agent.err()

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1280,900", "--lang=en-GB", "--user-data-dir=" + tempfile.mkdtemp(dir=cls.dir)):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        cls.browser.get(cls.base + "/favicon.svg")
        cls.browser.execute_script("localStorage.setItem('quillark-token', arguments[0])", TOKEN)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        for p in cls.procs:
            p.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    # ---- helpers ----------------------------------------------------------

    def fetch(self, path):
        request = urllib.request.Request(self.base + path, headers={"Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(request, timeout=15) as r:
            return r.read().decode("utf-8")

    def history(self, query):
        """The API's answer, its numbers kept as the text they were written as."""
        return json.loads(self.fetch("/api/units/ac1/history?" + query), parse_float=str, parse_int=str)

    def run_js(self, script, *args):
        return self.browser.execute_script(script, *args)

    def shoot(self, name):
        os.makedirs(SHOTS, exist_ok=True)
        path = os.path.join(SHOTS, name)
        self.browser.save_screenshot(path)
        if os.environ.get("QUILLARK_UPDATE_DOCS") == "1":
            shutil.copy(path, os.path.join(DOCS, name))

    def chart_of(self, key):
        """The page's query and, for the point's mean line in the chart key: its
        x and y, which points are left out of the line, and spanGaps."""
        return self.run_js("""
            const figure = document.querySelector('figure[data-chart="' + arguments[0] + '"]');
            const chart = figure && Chart.getChart(figure.querySelector('canvas'));
            if (!chart) return null;
            const i = chart.data.datasets.findIndex(d => d.point === arguments[1] && d.role === 'mean');
            const set = chart.data.datasets[i];
            return {query: document.getElementById('charts').dataset.query, x: set.data.map(p => p.x),
                    y: set.data.map(p => p.y), skip: chart.getDatasetMeta(i).data.map(e => e.skip),
                    spanGaps: chart.options.spanGaps || set.spanGaps || false,
                    figures: document.querySelectorAll('figure.trend').length};""", key, POINT)

    def csp_violations(self):
        return [e["message"] for e in self.browser.get_log("browser") if "Content Security Policy" in e["message"]]

    # ---- the scenario -----------------------------------------------------

    def test_1_silence_is_a_gap_and_the_chart_shows_every_row(self):
        def silence_and_after():
            h = self.history("points=" + POINT)
            online = h["online"]
            return False in online and online[online.index(False):].count(True) >= 5
        self.assertTrue(wait_for(silence_and_after, 90, step=0.5), self.sim.err()[-2000:])

        self.browser.get(self.base + "/units/ac1")
        matched = {}

        def page_matches_api():
            shown = self.chart_of("temperature")
            if not shown or not shown["query"]:
                return False
            h = self.history(shown["query"].split("?", 1)[1])
            p = next(p for p in h["points"] if p["id"] == POINT)
            if len(shown["x"]) != len(h["unix"]):
                self.run_js("refreshTrends()")  # a round of the range finished after the page asked
                return False
            matched.update(shown=shown, h=h, p=p)
            return True
        self.assertTrue(wait_for(page_matches_api, 60, step=1), self.chart_of("temperature"))
        shown, h, p = matched["shown"], matched["h"], matched["p"]
        self.assertEqual(shown["x"], [float(t) for t in h["unix"]])
        self.assertEqual(shown["y"], [None if v is None else float(v) for v in p["mean"]])
        # The silent rounds: null in the API, left out of the line, never bridged.
        silent = [i for i, online in enumerate(h["online"]) if online is False]
        self.assertTrue(silent)
        self.assertTrue(all(p["mean"][i] is None and shown["skip"][i] for i in silent), shown["skip"])
        self.assertFalse(shown["spanGaps"])
        self.assertFalse(any(shown["skip"][i] for i, v in enumerate(p["mean"]) if v is not None))
        self.assertGreater(self.run_js("""return trend.offline.get(Chart.getChart(
            document.querySelector('figure[data-chart="temperature"] canvas'))).length"""), 0)
        # Every group kept in history has its chart; each code point its own, labelled.
        charts = self.run_js("return [...document.querySelectorAll('figure.trend')].map(f => f.dataset.chart)")
        self.assertEqual(sorted({p["group"] for p in h["points"] if p["group"] != "state"}),
                         sorted(c for c in charts if not c.startswith("state:")))
        self.assertIn("state:unit_state", charts)
        ticks = self.run_js("""return Chart.getChart(document.querySelector(
            'figure[data-chart="state:unit_state"] canvas')).scales.y.ticks.map(t => t.label)""")
        self.assertEqual(ticks, next(p["labels"] for p in h["points"] if p["id"] == "unit_state"))
        self.run_js("document.getElementById('trends').scrollIntoView()")
        self.shoot("agent-trends.png")
        self.assertEqual(self.csp_violations(), [])

    def test_2_csv_has_the_api_values(self):
        to = int(float(self.history("points=" + POINT)["unix"][-1]))
        for query in ("from=%d&to=%d&step=0" % (to - 600, to), "from=%d&to=%d&step=60" % (to - 600, to)):
            h = self.history(query)
            rows = list(csv.reader(io.StringIO(self.fetch("/api/units/ac1/history.csv?" + query), newline="")))
            header, body = rows[0], rows[1:]
            self.assertEqual(header[:2], ["time", "online"])
            self.assertEqual([r[0] for r in body], h["time"], query)
            self.assertEqual(len(header), 2 + 3 * len(h["points"]))
            for p in h["points"]:
                for kind in ("min", "mean", "max"):
                    column = next(i for i, cell in enumerate(header) if cell.startswith(p["id"] + " " + kind))
                    self.assertEqual([r[column] for r in body], ["" if v is None else v for v in p[kind]],
                                     (query, p["id"], kind))

    def test_3_each_point_alone_and_narrow_screens(self):
        self.browser.get(self.base + "/units/ac1")
        link = "#groups td[data-point='%s']" % POINT
        self.assertTrue(wait_for(lambda: self.run_js(
            "const td = document.querySelector(\"%s\"); return !!td && !!td.previousElementSibling.querySelector('a')"
            % link), 30))
        self.run_js("document.querySelector(\"%s\").previousElementSibling.querySelector('a').click()" % link)
        self.assertTrue(wait_for(lambda: (self.chart_of(POINT) or {}).get("figures") == 1, 30),
                        self.browser.current_url)
        self.assertIn("points=" + POINT, self.chart_of(POINT)["query"])
        self.browser.set_window_size(390, 1400)
        try:
            self.browser.get(self.base + "/units/ac1")
            self.assertTrue(wait_for(lambda: self.chart_of("temperature"), 30))
            widths = self.run_js("""return [document.documentElement.clientWidth,
                document.documentElement.scrollWidth, ...[...document.querySelectorAll('figure.trend')]
                .map(f => f.getBoundingClientRect().right)]""")
            self.assertTrue(all(w <= widths[0] for w in widths[1:]), widths)  # stacked, none off the screen
            self.run_js("document.getElementById('trends').scrollIntoView()")
            self.shoot("agent-trends-phone.png")
        finally:
            self.browser.set_window_size(1280, 900)

    def test_4_sparkline_on_the_overview(self):
        self.browser.get(self.base + "/")
        spark = "return document.querySelector(\"#tiles li[data-unit='ac1'] figure.spark\")"
        self.assertTrue(wait_for(lambda: self.run_js(spark + "?.dataset.drawn > 0"), 30))
        self.assertTrue(self.run_js(spark + ".querySelector('path').getAttribute('d').startsWith('M')"))

    def test_5_without_chart_js_the_page_says_so_and_works_on(self):
        self.browser.execute_cdp_cmd("Network.enable", {})
        self.browser.execute_cdp_cmd("Network.setBlockedURLs", {"urls": ["*/vendor/chart.min.js"]})
        try:
            self.browser.get(self.base + "/units/ac1")
            note = "return document.getElementById('trend-note').textContent"
            self.assertTrue(wait_for(lambda: "libjs-chart.js" in self.run_js(note), 30), self.run_js(note))
            self.assertTrue(wait_for(lambda: self.run_js(
                "return document.querySelector(\"td[data-point='%s']\").textContent !== ''" % POINT), 30))
        finally:
            self.browser.execute_cdp_cmd("Network.setBlockedURLs", {"urls": []})


if __name__ == "__main__":
    for needed in (CHROMEDRIVER,):
        if not os.path.exists(needed):
            print("skipped: %s is not installed (scripts/bootstrap installs it)" % needed)
            sys.exit(77)
    if not os.path.exists("/usr/share/javascript/chart.js/chart.min.js"):
        print("skipped: libjs-chart.js is not installed (scripts/bootstrap installs it)")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
