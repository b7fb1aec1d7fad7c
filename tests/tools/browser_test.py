#!/usr/bin/python3
"""The agent's live view in headless Chromium, driven by Selenium, against an
agent polling simulators on loopback and publishing to a mosquitto broker of
the test's own. Run with Debian's /usr/bin/python3
(python3-selenium); ctest passes the programs and directories:

  browser_test.py AGENT SIM SCREENSHOT_DIR DOCS_DIR

QUILLARK_UPDATE_DOCS=1 also copies the screenshots into DOCS_DIR.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

AGENT, SIM, SHOTS, DOCS = sys.argv[1:5] if len(sys.argv) >= 5 else ("", "", "", "")
CHROMEDRIVER = "/usr/bin/chromedriver"
MOSQUITTO = "/usr/sbin/mosquitto"
INTERVAL = 0.5  # seconds between a unit's rounds
ROUND = 46  # requests in one complete round
SLACK = 2.0  # seconds for a loaded machine: process start-up, scheduling
TOKEN = "s3cret-token"
ALARM_BIT = 182  # high pressure
OTHER_ALARM_BIT = 181  # filter clogged


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, limit, step=0.05):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = what()
        if value:
            return value
        time.sleep(step)
    return what()


class Process:
    """A child with its stderr in a file, stopped by its pid."""

    def __init__(self, argv, log):
        self.log = log
        if argv:
            with open(log, "w") as err:
                self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                             stderr=err)

    @staticmethod
    def of(proc):
        """One started otherwise (its output elsewhere)."""
        p = Process(None, os.devnull)
        p.proc = proc
        return p

    def err(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


class LiveView(unittest.TestCase):
    """One scenario in steps that share the processes and the browser."""

    @classmethod
    def setUpClass(cls):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        cls.dir = tempfile.mkdtemp(prefix="quillark-browser-")
        cls.procs = []
        cls.broker_port = cls.start_broker()
        cls.sims = {
            "calm": cls.sim("calm", []),
            # The alarm comes at the start of round 21, the silence at round 41.
            "hot": cls.sim("hot", ["--raise-after", str(ROUND * 20), "--raise-bit", str(ALARM_BIT)]),
            "quiet": cls.sim("quiet", ["--mute-after", str(ROUND * 40), "--mute-for", "8"]),
        }
        with open(os.path.join(cls.dir, "token"), "w") as f:
            f.write(TOKEN + "\n")
        cls.port = free_port()
        cls.base = "http://127.0.0.1:%d" % cls.port
        cls.state = os.path.join(cls.dir, "state")
        os.mkdir(cls.state)
        config = '[http]\nlisten = "127.0.0.1:%d"\ntoken_file = "%s"\n' % (
            cls.port, os.path.join(cls.dir, "token"))
        config += '[agent]\nstate_dir = "%s"\n[mqtt]\nbroker = "mqtt://127.0.0.1:%d"\nclient_id = "row1"\n' % (
            cls.state, cls.broker_port)
        for name, (proc, port) in cls.sims.items():
            config += ('[[link]]\nname = "%s"\ntcp = "127.0.0.1:%d"\ntimeout_ms = 200\nretries = 0\n'
                       '[[unit]]\nname = "%s"\nlink = "%s"\nunit_id = 1\ninterval = %s\n'
                       % (name, port, name, name, INTERVAL))
        cls.config = os.path.join(cls.dir, "agent.toml")
        with open(cls.config, "w") as f:
            f.write(config)
        cls.agent = cls.start_agent()

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1280,900", "--lang=en-GB",
                     "--user-data-dir=" + tempfile.mkdtemp(dir=cls.dir)):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
        cls.browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        for p in cls.procs:
            p.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def sim(cls, name, args):
        port_file = os.path.join(cls.dir, name + ".port")
        proc = Process([SIM, "--tcp", "127.0.0.1:0", "--port-file", port_file, "--steady", "--verbose"] + args,
                       os.path.join(cls.dir, name + ".err"))
        cls.procs.append(proc)
        assert wait_for(lambda: os.path.exists(port_file), 15), proc.err()
        with open(port_file) as f:
            return proc, int(f.read())

    @classmethod
    def start_broker(cls):
        """A broker on a free port and a subscriber to every events topic,
        its messages in a file ("topic payload" a line)."""
        port = free_port()
        conf = os.path.join(cls.dir, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % port)
        broker = Process([MOSQUITTO, "-c", conf], os.path.join(cls.dir, "mosquitto.err"))
        cls.procs.append(broker)
        assert wait_for(lambda: "running" in broker.err(), 15), broker.err()
        cls.mqtt_log = os.path.join(cls.dir, "events.mqtt")
        with open(cls.mqtt_log, "w") as out:
            sub = subprocess.Popen(["mosquitto_sub", "-p", str(port), "-q", "1", "-v",
                                    "-t", "quillark/+/events", "-t", "quillark/agent/+/events"],
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
        cls.procs.append(Process.of(sub))

        def subscribed():
            subprocess.run(["mosquitto_pub", "-p", str(port), "-t", "quillark/probe/events", "-m", "{}"],
                           timeout=15, check=True)
            return "quillark/probe/events" in cls.mqtt_events_text()
        assert wait_for(subscribed, 15, step=0.3), "mosquitto_sub did not subscribe"
        return port

    @classmethod
    def mqtt_events_text(cls):
        with open(cls.mqtt_log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def mqtt_events(self, unit):
        """The events the broker passed on for a unit, in the order they came."""
        topic = "quillark/%s/events " % unit
        return [json.loads(line[len(topic):]) for line in self.mqtt_events_text().splitlines()
                if line.startswith(topic)]

    @classmethod
    def sim_on(cls, port, name, args):
        """A simulator on a port another had (that unit's next state)."""
        proc = Process([SIM, "--tcp", "127.0.0.1:%d" % port, "--steady", "--verbose"] + args,
                       os.path.join(cls.dir, name + ".err"))
        cls.procs.append(proc)
        return proc

    @classmethod
    def start_agent(cls):
        proc = Process([AGENT, "--config", cls.config], os.path.join(cls.dir, "agent.err"))
        cls.procs.append(proc)
        assert wait_for(lambda: "live view on" in proc.err(), 15), proc.err()
        return proc

    # ---- helpers ----------------------------------------------------------

    def get(self, path, token=None):
        request = urllib.request.Request(self.base + path)
        if token:
            request.add_header("Authorization", "Bearer " + token)
        try:
            with urllib.request.urlopen(request, timeout=5) as r:
                return r.status
        except urllib.error.HTTPError as e:
            return e.code

    def run_js(self, script):
        return self.browser.execute_script(script)

    def click(self, how, what):
        """The live page redraws on every update: a link found just before a redraw is found again."""
        from selenium.common.exceptions import StaleElementReferenceException
        for attempt in range(50):
            try:
                return self.browser.find_element(how, what).click()
            except StaleElementReferenceException:
                if attempt == 49:
                    raise
                time.sleep(0.1)

    def tiles(self):
        """name -> (class, badge text), in the order shown."""
        return self.run_js("""return [...document.querySelectorAll('#tiles li')].map(
            li => [li.dataset.unit, li.className, li.querySelector('.badge').textContent]);""")

    def tile_class(self, name):
        for unit, cls, _ in self.tiles():
            if unit == name:
                return cls
        return None

    def first_line_time(self, sim, text):
        """When the simulator first wrote a line with text, or None yet."""
        return text in self.sims[sim][0].err() and time.monotonic()

    def drain(self, allowed_status, allowed_console):
        """Checks the page requests and console since the last drain."""
        statuses = []
        for entry in self.browser.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.responseReceived":
                response = message["params"]["response"]
                if response["url"].startswith(self.base):
                    statuses.append((response["status"], response["url"]))
        for status, url in statuses:
            self.assertIn(status, allowed_status, url)
        errors = [e["message"] for e in self.browser.get_log("browser") if e["level"] == "SEVERE"]
        for message in errors:
            self.assertTrue(any(a in message for a in allowed_console), message)
        return statuses, errors

    def shoot(self, name):
        os.makedirs(SHOTS, exist_ok=True)
        path = os.path.join(SHOTS, name)
        self.browser.save_screenshot(path)
        if os.environ.get("QUILLARK_UPDATE_DOCS") == "1":
            shutil.copy(path, os.path.join(DOCS, name))

    # ---- the scenario -----------------------------------------------------

    def test_1_token_is_asked_for_once(self):
        self.assertEqual(self.get("/api/units"), 401)
        self.assertEqual(self.get("/metrics", "wrong"), 401)
        self.assertEqual(self.get("/metrics", TOKEN), 200)
        self.browser.get(self.base + "/")
        self.assertTrue(wait_for(lambda: self.run_js("return !document.getElementById('login').hidden"), 10))
        self.browser.find_element("id", "token").send_keys(TOKEN)
        self.click("css selector", "#login button")
        self.assertTrue(wait_for(lambda: len(self.tiles()) == 3, 10), self.tiles())
        self.assertEqual(self.run_js("return localStorage.getItem('quillark-token')"), TOKEN)
        statuses, _ = self.drain({200, 401}, ["401"])
        self.assertIn(401, [s for s, _ in statuses])
        # Kept in the browser: a reload asks no more.
        self.browser.refresh()
        self.assertTrue(wait_for(lambda: len(self.tiles()) == 3, 10))
        self.assertTrue(self.run_js("return document.getElementById('login').hidden"))
        self.drain({200}, [])

    def test_2_alarm_stands_out_and_is_listed(self):
        raised = wait_for(lambda: self.first_line_time("hot", "input bit %d raised" % ALARM_BIT), 30)
        self.assertTrue(raised, self.sims["hot"][0].err())
        self.assertTrue(wait_for(lambda: self.tile_class("hot") == "tile alarm", 2 * INTERVAL + INTERVAL + SLACK),
                        self.tiles())
        self.assertLess(time.monotonic() - raised, 2 * INTERVAL + INTERVAL + SLACK)
        tiles = self.tiles()
        self.assertEqual(tiles[0][0], "hot")  # alarms first
        self.assertIn("⚠ 1 alarm", tiles[0][2])
        self.shoot("agent-overview.png")

        self.click("link text", "hot")
        row = "#alarms tr[data-alarm='alarm_high_pressure']"
        self.assertTrue(wait_for(lambda: self.run_js("return document.querySelector(\"%s\") !== null" % row), 10))
        self.assertEqual(self.run_js("return document.querySelector(\"%s td\").textContent" % row), "高压告警")
        # Every group of the point table, in its order, every networked unit in numeric order.
        self.assertEqual(self.run_js("return [...document.querySelectorAll('#groups h2')].map(h => h.textContent)"),
                         ["state inputs (18)", "networked units (32)", "alarms (56)",
                          "measurements and set points (34)", "modes (2)"])
        keys = self.run_js("return [...document.querySelectorAll('#groups tbody tr td:first-child')]"
                           ".map(td => td.textContent)")
        units = [k for k in keys if k.startswith("#")]
        self.assertEqual(units[:3], ["#1组网机组通讯状态", "#2组网机组通讯状态", "#3组网机组通讯状态"])
        self.shoot("agent-unit-alarm.png")
        self.click("css selector", "#raw summary")
        self.assertTrue(wait_for(lambda: "AlertArray" in self.run_js("return document.querySelector('#raw pre').textContent"), 5))
        self.browser.back()
        self.assertTrue(wait_for(lambda: len(self.tiles()) == 3, 10))
        self.drain({200}, [])

    def test_3_silent_unit_goes_offline_and_comes_back(self):
        silent = wait_for(lambda: self.first_line_time("quiet", "ignored"), 30)
        self.assertTrue(silent, self.sims["quiet"][0].err())
        self.assertTrue(wait_for(lambda: self.tile_class("quiet") == "tile offline", 3 * INTERVAL + INTERVAL + SLACK),
                        self.tiles())
        self.assertLess(time.monotonic() - silent, 3 * INTERVAL + INTERVAL + SLACK)
        self.assertIn("✕ offline", dict((t[0], t[2]) for t in self.tiles())["quiet"])
        self.assertTrue(wait_for(lambda: self.tile_class("quiet") == "tile ok", 15), self.tiles())
        self.drain({200}, [])

    def test_4_page_says_when_the_agent_is_away_and_reconnects(self):
        banner = "return document.getElementById('banner').hidden ? '' : document.getElementById('banner').textContent"
        type(self).agent.stop()
        self.assertTrue(wait_for(lambda: "does not answer" in self.run_js(banner), 10))
        type(self).agent = self.start_agent()
        self.assertTrue(wait_for(lambda: self.run_js(banner) == "" and len(self.tiles()) == 3, 15))
        self.drain({200}, ["ERR_CONNECTION_REFUSED", "ERR_EMPTY_RESPONSE", "ERR_CONNECTION_RESET"])


    def test_5_events_page_and_alarm_history(self):
        rows = """return [...document.querySelectorAll('#event-list tbody tr')].map(tr =>
            [tr.dataset.kind, tr.children[1].textContent, tr.children[3].textContent, tr.className])"""
        self.browser.get(self.base + "/events")
        still = ["alarm_raised", "hot", "高压告警 · high pressure", "raised"]
        self.assertTrue(wait_for(lambda: still in self.run_js(rows), 10), self.run_js(rows))
        # The unit's high-pressure alarm goes, another comes: its simulator replaced on the same port.
        hot, port = self.sims["hot"]
        hot.stop()
        self.sims["hot"] = (self.sim_on(port, "hot-again", ["--raise-after", "0", "--raise-bit", str(OTHER_ALARM_BIT)]),
                            port)
        cleared = lambda: [r for r in self.run_js(rows) if r[0] == "alarm_cleared" and r[1] == "hot"]
        self.assertTrue(wait_for(cleared, 20), self.run_js(rows))
        self.assertIn("高压告警 · high pressure · lasted", cleared()[0][2])
        shown = self.run_js(rows)
        self.assertIn(["alarm_raised", "hot", "滤网堵塞告警 · filter clogged", "raised"], shown[:2], "newest first")
        self.assertIn(["alarm_raised", "hot", "高压告警 · high pressure", ""], shown, "no longer marked")
        self.shoot("agent-events.png")

        # Filtered by unit and kind, the choice kept in the address.
        from selenium.webdriver.support.ui import Select
        Select(self.browser.find_element("id", "event-unit")).select_by_value("hot")
        Select(self.browser.find_element("id", "event-kind")).select_by_value("alarm_cleared")
        self.assertTrue(wait_for(lambda: [r[0:2] for r in self.run_js(rows)] == [["alarm_cleared", "hot"]], 10),
                        self.run_js(rows))
        self.assertTrue(self.browser.current_url.endswith("/events?unit=hot&kind=alarm_cleared"))
        # Text from the events is shown as text, never taken as markup.
        self.assertEqual(self.run_js("""const row = eventRow({kind: 'write', unit: '<b>u</b>', seq: 1,
            time: '2026-12-08T14:10:25Z', register: 100, value: 1, result: '<img src=x>'}, new Set());
            return [row.querySelectorAll('b, img').length, row.children[3].textContent]"""),
                         [0, "register 100 = 1: <img src=x>"])

        # The unit's page: the alarm's history, the newest first.
        self.browser.get(self.base + "/units/hot")
        history = """return [...document.querySelectorAll('#history tbody tr')].map(tr =>
            [tr.dataset.alarm, ...[...tr.children].map(td => td.textContent)])"""
        self.assertTrue(wait_for(lambda: len(self.run_js(history)) == 2, 10), self.run_js(history))
        newest, older = self.run_js(history)
        self.assertEqual(newest[0], "alarm_filter_clogged")
        self.assertEqual(newest[4], "⚠ still raised")
        self.assertEqual(older[0:3], ["alarm_high_pressure", "高压告警", "high pressure"])
        self.assertNotIn(older[4], ("", "–", "⚠ still raised"))
        self.assertRegex(older[5], r"^\d+ (s|min)$")

        # The same events on MQTT, once each though the agent restarted in
        # between, and in the journal.
        self.assertTrue(wait_for(lambda: len(self.mqtt_events("hot")) >= 3, 10), self.mqtt_events_text())
        alarms = [(e["kind"], e["point"]) for e in self.mqtt_events("hot") if e["kind"].startswith("alarm")]
        self.assertEqual(sorted(alarms), [("alarm_cleared", "alarm_high_pressure"),
                                          ("alarm_raised", "alarm_filter_clogged"),
                                          ("alarm_raised", "alarm_high_pressure")])
        self.assertEqual(alarms[0], ("alarm_raised", "alarm_high_pressure"))
        with open(os.path.join(self.state, "events.jsonl"), encoding="utf-8") as f:
            journal = [json.loads(line) for line in f]
        self.assertEqual([(e["kind"], e["point"]) for e in journal if e.get("unit") == "hot" and
                          e["kind"].startswith("alarm")], alarms)
        self.drain({200}, [])


class Refusals(unittest.TestCase):
    def test_listening_beyond_loopback_needs_a_token(self):
        run = subprocess.run([AGENT, "--listen", "0.0.0.0:0"], capture_output=True, text=True, timeout=15)
        self.assertEqual(run.returncode, 2, run.stderr)
        self.assertIn("needs a token_file", run.stderr)


if __name__ == "__main__":
    for needed in (CHROMEDRIVER, MOSQUITTO, "/usr/bin/mosquitto_sub"):
        if not os.path.exists(needed):
            print("skipped: %s is not installed (scripts/bootstrap installs it)" % needed)
            sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
