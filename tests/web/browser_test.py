"""The owner's web pages in headless Chromium (started by browser_test.sh).

Walks what an owner does: a wrong password is refused; signing in shows the
held mail; Deliver puts a message into the inbox (read back over IMAP); a
sender is white-listed; a setting is changed; a rule is added to the white
list and removed; a form text is edited and reset. Hostile held mail, rules,
form texts and
javascript: values in every request parameter must run no script and leave
no script-capable markup; a POST without the CSRF token changes nothing; the
files the pages write belong to the mailbox's owner, never root.
"""
import imaplib
import os
import ssl
import sys
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

T = os.environ["T"]
SHOTS = os.environ.get("SHOTS", "")
OWNER_UID = int(os.environ["OWNER_UID"])
BASE = "http://127.0.0.1:8480"
EMAILDIR = f"{T}/home/alice/etc/example.test/info"
# A javascript: URL that also tries to leave an attribute and open a script.
HOSTILE = "javascript:alert('SVXSS')//\"'><script>console.log('SVXSS')</script>"
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def start_browser():
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={T}/chrome", "--window-size=1100,820"):
        opts.add_argument(flag)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def no_script_ran(driver, where):
    try:
        driver.switch_to.alert.dismiss()
        check(False, f"{where}: no alert")
    except NoAlertPresentException:
        pass
    console = [e for e in driver.get_log("browser")
               if e.get("source") == "console-api" or "Content Security Policy" in e["message"]]
    check(console == [], f"{where}: no script ran and none was blocked {console}")
    # Markup that could run script if the policy header were lost on the way.
    risky = driver.execute_script("""
        const bad = [];
        for (const el of document.querySelectorAll('*')) {
          if (['SCRIPT', 'IFRAME', 'OBJECT', 'EMBED'].includes(el.tagName)) bad.push(el.tagName);
          for (const a of el.attributes)
            if (/^on/i.test(a.name) || (/^(href|src|action|formaction|data)$/i.test(a.name) && /^\\s*javascript:/i.test(a.value))) bad.push(el.tagName + ' ' + a.name);
        }
        return bad;""")
    check(risky == [], f"{where}: no script-capable markup {risky}")


def shot(driver, name):
    if SHOTS:
        driver.save_screenshot(os.path.join(SHOTS, name))


def submit(driver, button):
    """Clicks a form's button and waits for the answer page to replace this one."""
    button.click()
    # While the old page is torn down, asking about the button can fail in
    # other ways than "stale" for a moment; ask again until it is stale.
    WebDriverWait(driver, 20, ignored_exceptions=(WebDriverException,)).until(
        expected_conditions.staleness_of(button))


def sign_in(driver, password):
    driver.get(BASE + "/login")
    driver.find_element(By.NAME, "address").send_keys("Info@Example.test")
    driver.find_element(By.NAME, "password").send_keys(password)
    submit(driver, driver.find_element(By.CSS_SELECTOR, "form[action='/login'] button"))


def open_held(driver, subject):
    driver.get(BASE + "/queue")
    driver.find_element(By.PARTIAL_LINK_TEXT, subject).click()
    check("Held message" in driver.title, f"the message '{subject}' opens")


def act(driver, label):
    submit(driver, driver.find_element(By.XPATH, f"//button[normalize-space()='{label}']"))


def owned_by_owner(path):
    return os.path.exists(path) and os.stat(path).st_uid == OWNER_UID


def inbox_subjects():
    ctx = ssl.create_default_context(cafile=f"{T}/cert.pem")
    with imaplib.IMAP4("127.0.0.1", 143) as imap:
        imap.starttls(ssl_context=ctx)
        imap.login("info@example.test", "right-password")
        if imap.select("INBOX", readonly=True)[0] != "OK":
            return ""
        _, data = imap.fetch("1:*", "(BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
        return b" ".join(part[1] for part in data if isinstance(part, tuple)).decode()


def post_without_token(session_cookie):
    body = urllib.parse.urlencode({"froms": "", "days": "99"}).encode()
    req = urllib.request.Request(BASE + "/settings", data=body,
                                 headers={"Cookie": "sv_session=" + session_cookie})
    try:
        return urllib.request.urlopen(req).status
    except urllib.error.HTTPError as e:
        return e.code


def main():
    driver = start_browser()
    try:
        sign_in(driver, "wrong-password")
        check("Wrong address or password." in driver.page_source and driver.get_cookie("sv_session") is None,
              "a wrong password is refused")
        shot(driver, "web-login.png")

        sign_in(driver, "right-password")
        check(driver.current_url.endswith("/queue") and "Quarterly figures" in driver.page_source,
              "signed in, the held mail is listed")
        check("Only for Bob" not in driver.page_source, "another owner's mail is not listed")
        no_script_ran(driver, "held mail with a hostile message")
        shot(driver, "web-queue.png")

        open_held(driver, "Quarterly figures")
        no_script_ran(driver, "message view")
        shot(driver, "web-message.png")
        act(driver, "Deliver")
        check("delivered" in driver.page_source, "Deliver reports the delivery")
        check("Quarterly figures" in inbox_subjects(), "the delivered message is in the inbox (IMAP)")

        open_held(driver, "Lunch on Friday")
        act(driver, "White-list sender")
        white = f"{EMAILDIR}/.sendvetter/white-list.txt"
        check(owned_by_owner(white) and r"friend@elsewhere\.test" in open(white).read(),
              "the sender is on the white list, written as the owner")

        driver.get(BASE + "/settings")
        days = driver.find_element(By.NAME, "days")
        days.clear()
        days.send_keys("30")
        act(driver, "Save")
        conf = f"{EMAILDIR}/sendvetter.conf"
        check("Saved." in driver.page_source and owned_by_owner(conf)
              and "stale-queue-time=30" in open(conf).read(), "the expiry setting is saved as the owner")
        shot(driver, "web-settings.png")

        driver.get(BASE + "/lists?list=white")
        driver.find_element(By.NAME, "address").send_keys("new@friend.test")
        act(driver, "Add")
        shot(driver, "web-lists.png")
        driver.find_element(By.NAME, "address").send_keys(HOSTILE)
        act(driver, "Add")
        check(r"from new@friend\.test" in open(white).read() and "new@friend" in driver.page_source,
              "a rule is added to the white list and shown")
        no_script_ran(driver, "white list with a hostile rule")
        for marker in ("new@friend", "SVXSS"):
            submit(driver, driver.find_element(By.XPATH, f"//tr[td[contains(., \"{marker}\")]]//button"))
        check("friend@elsewhere" in open(white).read() and "new@friend" not in open(white).read()
              and "SVXSS" not in open(white).read(), "Remove takes out exactly the rules removed")

        driver.get(BASE + "/forms")
        submit(driver, driver.find_element(By.XPATH, "//tr[td[normalize-space()='verify']]//input[@value='Edit']"))
        own = f"{EMAILDIR}/.sendvetter/forms/verify.txt"
        shot(driver, "web-form.png")
        text = driver.find_element(By.NAME, "text")
        text.clear()
        text.send_keys("My own words.\n</textarea>" + HOSTILE)
        act(driver, "Save")
        check(owned_by_owner(own) and open(own).read() == "My own words.\n</textarea>" + HOSTILE,
              "an edited form text is saved as the owner")
        no_script_ran(driver, "form text with hostile markup")
        act(driver, "Reset to the system text")
        check(not os.path.exists(own) and "My own words" not in driver.page_source,
              "Reset brings back the system's text")

        check(post_without_token(driver.get_cookie("sv_session")["value"]) == 403
              and "stale-queue-time=30" in open(conf).read(), "a POST without the CSRF token changes nothing")

        hostile = {k: HOSTILE for k in ("t", "logdate", "account", "q", "bxaction", "field", "s",
                                         "showfile", "action", "form", "list", "rule", "text")}
        held = sorted(os.listdir(f"{EMAILDIR}/sendvetter/queue"))[0]
        pages = ("/queue", "/search", "/message", "/log", "/settings", "/lists", "/forms", "/form",
                 "/form/reset")
        for path, query in [(p, hostile) for p in pages] + [("/message", dict(hostile, q=held))]:
            driver.get(f"{BASE}{path}?{urllib.parse.urlencode(query)}")
            no_script_ran(driver, f"{path} with javascript: in every parameter")
        driver.get(BASE + "/queue?account=bob@other.test")
        check("Only for Bob" not in driver.page_source, "the account parameter cannot open another mailbox")
        driver.get(BASE + "/log")
        no_script_ran(driver, "activity log")
        shot(driver, "web-log.png")
    finally:
        driver.quit()
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


sys.exit(main())
