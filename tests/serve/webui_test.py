"""The chat page of vexo-serve in a real browser: headless Chromium through
chromedriver and Selenium, against the server on loopback.

    webui_test.py VEXO_SERVE SERVE_FIXTURE SCRATCH_DIR

Opens the page on a server that asks for an API key, enters the key, sends
a message with the keyboard and checks that the streamed reply equals a
direct API request with the same seed and settings; stops a long reply and
checks that the device is free at once; reloads and finds the
conversation; shows stored replies holding markup as text; checks that the
page loads nothing from elsewhere and breaks no rule of its own security
policy, that it fits a phone's width and has a dark scheme; saves a
screenshot (SCRATCH_DIR/webui.png). Also checks the headers of the page's
files and --no-webui.
"""
import http.client
import json
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

from serve_test import KEY, Server, check, fresh, make_fixture, wait_for

SETTINGS = {"temperature": 0.8, "top_p": 0.9, "max_tokens": 12, "seed": 7}
SYSTEM = "the device runs"
LONG = 900  # tokens asked for the reply that is stopped: some 15 seconds on the slow model


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1000,720", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(60)
    driver.set_script_timeout(60)
    return driver


def until(driver, condition, what, timeout=60):
    try:
        return WebDriverWait(driver, timeout, poll_frequency=0.05).until(lambda d: condition(d))
    except Exception as error:
        raise AssertionError(f"timed out waiting for {what}") from error


def set_field(driver, element_id, value):
    field = driver.find_element(By.ID, element_id)
    field.clear()
    field.send_keys(str(value))


def conversation(driver):
    return json.loads(driver.execute_script("return localStorage.getItem('vexo-chat-conversation')"))["messages"]


def shown(driver):
    """The messages on the page: (role, text of the body, stats line)."""
    return driver.execute_script("""
        return [...document.querySelectorAll('#messages .message')].map(m => [
            m.classList.contains('user') ? 'user' : 'assistant',
            m.querySelector('.body').textContent,
            m.querySelector('.stats')?.textContent ?? null]);""")


def idle(driver):
    return driver.find_element(By.ID, "stop").get_attribute("hidden") is not None


def check_headers(server):
    """Every file of the page carries the security policy."""
    for path, kind in (("/", "text/html"), ("/webui/app.js", "text/javascript"), ("/webui/style.css", "text/css")):
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        connection.request("GET", path)
        response = connection.getresponse()
        body = response.read()
        check(response.status == 200 and response.getheader("Content-Type").startswith(kind), (path, response.status))
        policy = response.getheader("Content-Security-Policy")
        check(policy and "default-src 'none'" in policy and "connect-src 'self'" in policy
              and "unsafe" not in policy, policy)
        check(response.getheader("X-Content-Type-Options") == "nosniff" and body, path)
        connection.close()


def check_no_webui(binary, fixture):
    with Server(binary, fixture / "llm.bmodel", fixture / "tokenizer.model", "--no-webui") as plain:
        status, text = plain.request("GET", "/")
        check(status == 404 and json.loads(text)["error"]["message"], (status, text))
        plain.stop()


def check_chat(driver, server, origin):
    driver.get(origin + "/")
    # Without the key the page says it needs one and opens the settings.
    until(driver, lambda d: "API key" in d.find_element(By.ID, "status").text, "the request for a key")
    check(driver.find_element(By.ID, "settings").is_displayed(), "settings stay closed")
    set_field(driver, "api-key", KEY)
    driver.find_element(By.ID, "api-key").send_keys(Keys.TAB)  # the change event
    until(driver, lambda d: d.execute_script("return document.getElementById('model').value") == "llm-slow",
          "the model list")
    set_field(driver, "temperature", SETTINGS["temperature"])
    set_field(driver, "top-p", SETTINGS["top_p"])
    set_field(driver, "max-tokens", SETTINGS["max_tokens"])
    set_field(driver, "seed", SETTINGS["seed"])
    set_field(driver, "system", SYSTEM)

    # Shift+Enter breaks the line, Enter sends.
    message = driver.find_element(By.ID, "input")
    message.send_keys("hello")
    ActionChains(driver).key_down(Keys.SHIFT).send_keys(Keys.ENTER).key_up(Keys.SHIFT).perform()
    message.send_keys("world")
    check(not shown(driver), "Shift+Enter sent the message")
    message.send_keys(Keys.ENTER)
    until(driver, lambda d: len(shown(d)) == 2 and idle(d) and shown(d)[1][2], "the reply")

    status, direct = server.post("/v1/chat/completions", dict(
        SETTINGS, model="llm-slow", messages=[{"role": "system", "content": SYSTEM},
                                              {"role": "user", "content": "hello\nworld"}]))
    check(status == 200, direct)
    want = direct["choices"][0]["message"]["content"]
    check(want.strip(), direct)
    (user, reply) = shown(driver)
    check(user[1] == "hello\nworld", user)
    check(reply[1] == want and conversation(driver)[1]["content"] == want, (reply, want))
    tokens = direct["usage"]["completion_tokens"]
    check(reply[2].startswith(f"{tokens} tokens · ") and "tokens/s · first token " in reply[2], reply)
    check(driver.execute_script("return localStorage.getItem('vexo-chat-settings')").find(KEY) < 0,
          "the API key is in local storage")
    return want


def check_stop(driver, server):
    """Stop ends the request, and the server frees the only device at once:
    the next request is answered before the stopped reply could have ended."""
    set_field(driver, "max-tokens", LONG)
    message = driver.find_element(By.ID, "input")
    message.send_keys("the quick brown fox", Keys.ENTER)
    until(driver, lambda d: len(shown(d)) == 4 and shown(d)[3][1], "the long reply to start")
    driver.find_element(By.ID, "stop").click()
    until(driver, idle, "the page to stop")
    wait_for(server, "vexo_requests_running", 0)
    check(server.complete(prompt=[4], max_tokens=3)["usage"]["completion_tokens"] == 3, "device not freed")
    values = server.metrics()
    check(values["vexo_generations_cancelled_total"] == 1, values)
    check(values["vexo_generated_tokens_total"] < LONG, values)
    check(shown(driver)[3][2].startswith("stopped"), shown(driver)[3])


def check_reload(driver, first_reply):
    before = shown(driver)
    driver.refresh()
    until(driver, lambda d: len(shown(d)) == 4, "the conversation after reloading")
    check(shown(driver) == before and before[1][1] == first_reply, (shown(driver), before))
    check(driver.find_element(By.ID, "api-key").get_attribute("value") == KEY, "key lost on reload")
    check(driver.find_element(By.ID, "system").get_attribute("value") == SYSTEM, "system message lost")
    check(all(KEY not in driver.execute_script(f"return localStorage.getItem('{name}') ?? ''")
              for name in ("vexo-chat-settings", "vexo-chat-conversation")), "the API key is in local storage")


def check_markup(driver):
    """Stored replies holding markup are shown as text, never as elements."""
    hostile = ('<script>window.pwned = 1</script><img src=x onerror="window.pwned = 2"> '
               '"quoted" & \'single\'\n```html\n<b onclick="window.pwned = 3">bold</b>\n```\nafter <i>')
    driver.execute_script("localStorage.setItem('vexo-chat-conversation', JSON.stringify(arguments[0]))",
                          {"messages": [{"role": "user", "content": "<u>hi</u>"},
                                        {"role": "assistant", "content": hostile, "stats": None}]})
    driver.refresh()
    until(driver, lambda d: len(shown(d)) == 2, "the stored conversation")
    elements = driver.execute_script(
        "return [...document.querySelectorAll('#messages *')].map(e => e.tagName.toLowerCase())")
    check(set(elements) <= {"article", "div", "span", "pre", "code"}, elements)
    check(driver.execute_script("return window.pwned === undefined"), "markup ran")
    user, reply = shown(driver)
    check(user[1] == "<u>hi</u>", user)
    code = driver.execute_script("return [...document.querySelectorAll('#messages pre code')].map(e => e.textContent)")
    check(code == ['<b onclick="window.pwned = 3">bold</b>'], code)
    # The fence lines are not shown; the code block stands between the texts.
    check(reply[1] == hostile.replace("\n```html\n", "").replace("\n```\n", ""), reply)
    # Clear empties the conversation, for good.
    driver.find_element(By.ID, "clear").click()
    driver.refresh()
    until(driver, lambda d: d.execute_script("return document.readyState") == "complete", "the page")
    check(shown(driver) == [], shown(driver))


def check_layout(driver):
    """Light and dark schemes; a phone's width without sideways scrolling."""
    background = "return getComputedStyle(document.body).backgroundColor"
    light = driver.execute_script(background)
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                           {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    dark = driver.execute_script(background)
    check(light != dark, (light, dark))
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 375, "height": 700, "deviceScaleFactor": 1, "mobile": True})
    fits = driver.execute_script("""
        const composer = document.getElementById('composer').getBoundingClientRect();
        return document.documentElement.scrollWidth <= innerWidth && composer.right <= innerWidth
            && composer.bottom <= innerHeight;""")
    check(fits, "the page does not fit a phone's width")
    driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def check_network(driver, origin):
    """Every request went to the server itself, and none broke the page's policy."""
    urls = []
    for entry in driver.get_log("performance"):
        event = json.loads(entry["message"])["message"]
        if event["method"] == "Network.requestWillBeSent":
            urls.append(event["params"]["request"]["url"])
    # From the first request for the page on (the browser's own start page comes before).
    ours = [i for i, url in enumerate(urls) if url.startswith(origin + "/")]
    check(ours and all(url.startswith(origin + "/") for url in urls[ours[0]:]), urls)
    violations = [e["message"] for e in driver.get_log("browser") if "Content Security Policy" in e["message"]]
    check(not violations, violations)


def main(binary, fixture_tool, scratch):
    scratch = fresh(scratch)
    fixture = make_fixture(fixture_tool, scratch / "fixture")
    check_no_webui(binary, fixture)
    profile = tempfile.mkdtemp(prefix="chromium-", dir=scratch)
    with Server(binary, fixture / "llm-slow.bmodel", fixture / "tokenizer.model", "--devices", "0",
                "--api-key", KEY) as server:
        origin = f"http://127.0.0.1:{server.port}"
        check_headers(server)
        driver = browser(profile)
        try:
            first_reply = check_chat(driver, server, origin)
            driver.save_screenshot(str(scratch / "webui.png"))
            check_stop(driver, server)
            check_reload(driver, first_reply)
            check_markup(driver)
            check_layout(driver)
            check_network(driver, origin)
        finally:
            driver.quit()
        server.stop()
    print("vexo-serve chat page: ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
