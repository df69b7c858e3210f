// Whether this phone verifies the computer, and the step that makes it: installing the
// computer's own certificate authority. A browser registers a service worker only for a page
// whose certificate it verified; a page reached through a clicked-through warning cannot, and
// neither can a page that a relay serves under a certificate of its own.

import { h, replace } from "./dom.js";

export const trustTexts = {
  verified: "This phone verifies the computer",
  notVerified: "Not verified: a certificate warning on this page could be someone in between",
  step: "Trust this computer on this phone",
};

export const downloads = {
  certificate: "/trust/tarnwick-bridge-ca.crt",
  profile: "/trust/tarnwick-bridge-ca.mobileconfig",
};

// Resolves to whether the service worker registered.
export async function registerWorker() {
  if (!window.isSecureContext || !("serviceWorker" in navigator)) return false;
  try {
    await navigator.serviceWorker.register("/sw.js", { scope: "/" });
    return true;
  } catch {
    return false;
  }
}

function steps() {
  return h(
    "div",
    { class: "trust-steps", id: "trust-steps" },
    h("p", {}, "Once, on each phone. Then a relay meets an error instead of a warning you might click through."),
    h("h2", {}, "iPhone or iPad (Safari)"),
    h(
      "ol",
      {},
      h("li", {}, h("a", { href: downloads.profile, id: "trust-profile" }, "Download the profile"), ", and allow it."),
      h("li", {}, "Settings > General > VPN & Device Management: install it."),
      h("li", {}, "Settings > General > About > Certificate Trust Settings: enable full trust for it."),
    ),
    h("h2", {}, "Android"),
    h(
      "ol",
      {},
      h("li", {}, h("a", { href: downloads.certificate, download: "tarnwick-bridge-ca.crt", id: "trust-certificate" }, "Download the certificate"), "."),
      h("li", {}, "Settings > Security > Encryption & credentials > Install a certificate > CA certificate: pick tarnwick-bridge-ca.crt."),
    ),
    h(
      "p",
      {},
      "Before you trust it, compare its SHA-256 fingerprint in the phone's settings with the one the computer shows (Connect a phone in the window, or phone in its terminal). Then reload this page.",
    ),
    h(
      "p",
      { class: "muted" },
      "It lets this phone verify only this computer: its names and the addresses of local networks, never a public site. To remove it: on iOS, Settings > General > VPN & Device Management > the profile > Remove Profile; on Android, Settings > Security > Encryption & credentials > User credentials.",
    ),
  );
}

// The line under the banner: verified, or not with the trust step behind a button (open at
// once on /trust).
export class TrustPanel {
  constructor(element) {
    this.element = element;
    this.verified = null;
  }

  async start() {
    this.verified = await registerWorker();
    this.render(location.pathname === "/trust");
  }

  render(open) {
    this.element.dataset.state = this.verified ? "verified" : "unverified";
    if (this.verified) {
      replace(this.element, h("p", { class: "trust-state" }, trustTexts.verified));
      return;
    }
    const details = open ? steps() : null;
    const button = h(
      "button",
      {
        id: "trust-step",
        "aria-expanded": open ? "true" : "false",
        "aria-controls": "trust-steps",
        onclick: () => this.render(!open),
      },
      trustTexts.step,
    );
    replace(this.element, h("p", { class: "trust-state" }, trustTexts.notVerified), button, details);
  }
}
