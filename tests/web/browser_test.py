# The owner's web pages in headless Chromium (started by browser_test.sh).
#
# Walks what an owner does: a wrong password is refused; signing in shows the
# held mail (not another owner's, whatever account a request names); Deliver
# puts a message into the inbox; a sender is white-listed; a setting is saved; a
# rule is added to the white list and removed; a form text is edited and reset.
# Hostile held mail, rules, form texts and javascript: values in every request
# parameter of every page must run no script and leave no script-capable
# markup; a POST without the CSRF token is refused on every form and, like any
# GET, changes nothing; the files the pages write belong to the mailbox's
# owner, never root.
import http.client, os, sys, urllib.parse
from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

T, SHOTS, OWNER_UID = os.environ["T"], os.environ.get("SHOTS", ""), int(os.environ["OWNER_UID"])
BASE = "http://127.0.0.1:8480"
EMAILDIR = f"{T}/home/alice/etc/example.test/info"
WHITE, CONF = f"{EMAILDIR}/.sendvetter/white-list.txt", f"{EMAILDIR}/sendvetter.conf"
INBOX = f"{T}/home/alice/mail/example.test/info/inbox"
# A javascript: URL that also tries to leave an attribute and open a script.
HOSTILE = "javascript:alert('SVXSS')//\"'><script>console.log('SVXSS')</script>"
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    failures.extend([] if ok else [what])


# An alert fails the next WebDriver command (unexpected alert open) by itself.
def no_script_ran(driver, where):
    console = [e for e in driver.get_log("browser")
               if e.get("source") == "console-api" or "Content Security Policy" in e["message"]]
    # Markup that could run script if the policy header were lost on the way.
    risky = driver.execute_script("""return [...document.querySelectorAll('*')].flatMap(el =>
        (['SCRIPT', 'IFRAME', 'OBJECT', 'EMBED'].includes(el.tagName) ? [el.tagName] : []).concat(
         [...el.attributes].filter(a => /^on/i.test(a.name) || (/^(href|src|action|formaction|data)$/i.test(a.name)
           && /^\\s*javascript:/i.test(a.value))).map(a => el.tagName + ' ' + a.name)));""")
    check(console == [] and risky == [], f"{where}: no script ran or was blocked {console}, none could {risky}")


def shot(driver, name): SHOTS and driver.save_screenshot(os.path.join(SHOTS, name))


# Clicks a form's button and waits for the answer page to replace this one.
def submit(driver, button):
    button.click()
    # While the old page is torn down, asking about the button can fail in
    # other ways than "stale" for a moment; ask again until it is stale.
    WebDriverWait(driver, 20, ignored_exceptions=(WebDriverException,)).until(expected_conditions.staleness_of(button))


def act(driver, label):
    submit(driver, driver.find_element(By.XPATH, f"//button[normalize-space()='{label}']"))


def fill(driver, name, text):
    driver.find_element(By.NAME, name).clear()
    driver.find_element(By.NAME, name).send_keys(text)


def sign_in(driver, password):
    driver.get(BASE + "/login")
    fill(driver, "address", "Info@Example.test")
    fill(driver, "password", password)
    submit(driver, driver.find_element(By.CSS_SELECTOR, "form[action='/login'] button"))


def open_held(driver, subject):
    driver.get(BASE + "/queue")
    driver.find_element(By.PARTIAL_LINK_TEXT, subject).click()


# The file's text when the mailbox's owner owns it, else None.
def owned_text(path):
    return open(path).read() if os.path.exists(path) and os.stat(path).st_uid == OWNER_UID else None


def mailbox_state():
    return {(d, f): open(os.path.join(d, f), "rb").read() for d, _, files in os.walk(f"{T}/home") for f in files}


def post_without_token(cookie, path, fields):
    server = http.client.HTTPConnection("127.0.0.1", 8480)
    server.request("POST", path, urllib.parse.urlencode(fields), {"Cookie": "sv_session=" + cookie,
                   "Content-Type": "application/x-www-form-urlencoded"})
    return server.getresponse().status


def walk(driver):
    sign_in(driver, "wrong-password")
    check("Wrong address or password." in driver.page_source and driver.get_cookie("sv_session") is None,
          "a wrong password is refused")
    shot(driver, "web-login.png")
    sign_in(driver, "right-password")
    check(driver.current_url.endswith("/queue") and "Quarterly figures" in driver.page_source
          and "Only for Bob" not in driver.page_source, "signed in, the own held mail is listed, no other's")
    no_script_ran(driver, "held mail with a hostile message")
    shot(driver, "web-queue.png")

    open_held(driver, "Quarterly figures")
    shot(driver, "web-message.png")
    act(driver, "Deliver")
    check("delivered" in driver.page_source and "Quarterly figures" in (owned_text(INBOX) or ""),
          "Deliver reports the delivery, and the message is in the inbox, written as the owner")
    open_held(driver, "Lunch on Friday")
    act(driver, "White-list sender")
    check(r"friend@elsewhere\.test" in (owned_text(WHITE) or ""), "the sender is white-listed, written as the owner")

    driver.get(BASE + "/settings")
    fill(driver, "days", "30")
    act(driver, "Save")
    check("Saved." in driver.page_source and "stale-queue-time=30" in (owned_text(CONF) or ""),
          "the expiry setting is saved as the owner")
    shot(driver, "web-settings.png")

    driver.get(BASE + "/lists?list=white")
    for rule in ("new@friend.test", HOSTILE):
        fill(driver, "address", rule)
        act(driver, "Add")
        shot(driver, "web-lists.png")
    check(r"from new@friend\.test" in open(WHITE).read() and "new@friend" in driver.page_source,
          "a rule is added to the white list and shown")
    no_script_ran(driver, "white list with a hostile rule")
    for marker in ("new@friend", "SVXSS"):
        submit(driver, driver.find_element(By.XPATH, f"//tr[td[contains(., \"{marker}\")]]//button"))
    white = open(WHITE).read()
    check("friend@elsewhere" in white and "new@friend" not in white and "SVXSS" not in white,
          "Remove takes out exactly the rules removed")

    driver.get(BASE + "/forms")
    submit(driver, driver.find_element(By.XPATH, "//tr[td[normalize-space()='verify']]//input[@value='Edit']"))
    shot(driver, "web-form.png")
    fill(driver, "text", "My own words.\n</textarea>" + HOSTILE)
    act(driver, "Save")
    own = f"{EMAILDIR}/.sendvetter/forms/verify.txt"
    check(owned_text(own) == "My own words.\n</textarea>" + HOSTILE, "an edited form text is saved as the owner")
    no_script_ran(driver, "form text with hostile markup")
    act(driver, "Reset to the system text")
    check(not os.path.exists(own) and "My own words" not in driver.page_source, "Reset brings back the system's text")

    queue = f"{EMAILDIR}/sendvetter/queue"
    held = next(name for name in os.listdir(queue) if "SVXSS" in open(f"{queue}/{name}").read())
    before, cookie = mailbox_state(), driver.get_cookie("sv_session")["value"]
    for path, fields in (("/settings", {"froms": "", "days": "99"}), ("/message", {"q": held, "action": "delete"}),
                         ("/lists", {"list": "white", "address": "x@y.test"}),
                         ("/form", {"form": "verify", "action": "save", "text": "x"})):
        check(post_without_token(cookie, path, fields) == 403, f"a POST to {path} without the CSRF token is refused")
    hostile = dict.fromkeys(("t", "logdate", "account", "q", "bxaction", "field", "s", "showfile", "action", "form",
                             "list", "rule", "text"), HOSTILE)
    for path in ("/queue", "/search", "/message", "/log", "/settings", "/lists", "/forms", "/form", "/form/reset"):
        for query in (hostile, dict(hostile, q=held, action="delete")):
            driver.get(f"{BASE}{path}?{urllib.parse.urlencode(query)}")
            check("Sign out" in driver.page_source and "Not available" not in driver.title,
                  f"{path} renders for the owner: {driver.title}")
            no_script_ran(driver, f"{path} with javascript: in every parameter")
    driver.get(BASE + "/queue?account=bob@other.test")
    check("Only for Bob" not in driver.page_source, "the account parameter cannot open another mailbox")
    check(mailbox_state() == before, "refused POSTs and the GETs changed no file")
    driver.get(BASE + "/log")
    shot(driver, "web-log.png")


options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for flag in (f"--headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-sync --disable-dev-shm-usage "
             f"--disable-background-networking --disable-component-update --user-data-dir={T}/chrome "
             "--window-size=1100,820").split():
    options.add_argument(flag)
options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
# (No quit: the browser ends with the test's process namespace.)
walk(webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options))
print(f"{len(failures)} failure(s)")
sys.exit(1 if failures else 0)
