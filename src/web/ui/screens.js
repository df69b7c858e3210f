// The screens before a thread: naming this phone, pairing, and the list of threads with the
// form for a new one.

import { allowedSandboxes } from "../protocol.js";
import { field, h, replace, time } from "./dom.js";

function str(value) {
  return typeof value === "string" ? value : "";
}

export function nameScreen(suggested, fit, onContinue) {
  const input = h("input", { type: "text", autocomplete: "off", maxlength: 63, value: suggested });
  const error = h("p", { class: "error", role: "alert" });
  const form = h(
    "form",
    {
      class: "screen narrow",
      onsubmit: (event) => {
        event.preventDefault();
        const name = fit(input.value);
        if (!name) {
          error.textContent = "Give this phone a name the computer can show.";
          return;
        }
        onContinue(name);
      },
    },
    h("h1", {}, "Tarnwick Bridge"),
    h("p", {}, "Name this phone so that you recognise it on the computer."),
    field("Phone name", input),
    error,
    h("button", { class: "primary", type: "submit" }, "Continue"),
  );
  return form;
}

export class PairingScreen {
  constructor(onPairWithCode) {
    this.code = h("output", { class: "code", "aria-label": "Pairing code" });
    this.text = h("p", { class: "explain" });
    this.error = h("p", { class: "error", role: "alert" });
    this.button = h("button", { type: "button", class: "primary", hidden: true, onclick: onPairWithCode }, "Pair with a code");
    this.element = h("section", { class: "screen narrow pairing" }, h("h1", {}, "Pair this phone"), this.code, this.text, this.error, this.button);
  }

  // Puts this screen in `parent`, in place of what was there.
  show(parent) {
    replace(parent, this.element);
  }

  render({ code = "", text = "", error = "", offerCode = false }) {
    this.code.textContent = code;
    this.code.hidden = !code;
    this.text.textContent = text;
    this.error.textContent = error;
    this.button.hidden = !offerCode;
  }
}

const policies = [
  ["on-request", "Ask when Codex wants to go beyond the sandbox"],
  ["untrusted", "Ask before anything that is not known to be safe"],
  ["never", "Never ask"],
];

const sandboxes = {
  "read-only": "Read only",
  "workspace-write": "Change files in the working folder",
  "danger-full-access": "No sandbox: anything this computer's account can do",
};

export class ThreadsScreen {
  // `actions`: open(thread), start({cwd, model, approvalPolicy}), refresh().
  constructor(actions) {
    this.actions = actions;
    this.account = h("p", { class: "note", role: "status" });
    this.list = h("ul", { class: "threads", "aria-label": "Thread list" });
    this.folder = h("input", { type: "text", autocomplete: "off", spellcheck: "false", autocapitalize: "off" });
    this.model = h("select", {}, h("option", { value: "" }, "The computer's default"));
    this.policy = h("select", {}, policies.map(([value, text]) => h("option", { value }, text)));
    this.sandbox = h("select", {});
    this.sandboxField = field("Sandbox", this.sandbox);
    this.sandboxField.hidden = true;
    // The folders the computer lets this phone work in, as choices that fill the folder in.
    this.roots = h("div", { class: "choices", role: "group", "aria-label": "Allowed folders" });
    this.limits = h("p", { class: "note" });
    this.formError = h("p", { class: "error", role: "alert" });
    this.form = h(
      "form",
      {
        class: "card new-thread",
        hidden: true,
        onsubmit: (event) => {
          event.preventDefault();
          this.formError.textContent = "";
          const cwd = this.folder.value.trim();
          Promise.resolve(
            this.actions.start({
              cwd: cwd || null,
              model: this.model.value || null,
              approvalPolicy: this.policy.value,
              sandbox: this.sandboxField.hidden ? null : this.sandbox.value,
            }),
          ).catch((error) => (this.formError.textContent = error.message));
        },
      },
      field("Working folder", this.folder),
      this.roots,
      field("Model", this.model),
      field("Approval policy", this.policy),
      this.sandboxField,
      this.limits,
      this.formError,
      h("button", { class: "primary", type: "submit" }, "Start"),
    );
    this.newButton = h(
      "button",
      { type: "button", class: "primary", "aria-expanded": "false", onclick: () => this.toggleForm() },
      "New thread",
    );
    this.element = h(
      "section",
      { class: "screen threads-screen" },
      h("header", { class: "bar" }, h("h1", {}, "Threads"), this.newButton),
      this.account,
      this.form,
      this.list,
    );
  }

  // Puts this screen in `parent`, in place of what was there.
  show(parent) {
    replace(parent, this.element);
  }

  toggleForm(open = this.form.hidden) {
    this.form.hidden = !open;
    this.newButton.setAttribute("aria-expanded", String(open));
    if (open) this.folder.focus();
  }

  // Offers only what the computer's ceiling allows: the asking policies unless it lets devices
  // turn approvals off, the sandboxes up to its widest, its folders as choices.
  setCeiling(ceiling) {
    const policy = this.policy.value;
    replace(
      this.policy,
      policies.filter(([value]) => value !== "never" || ceiling.approvalNever).map(([value, text]) => h("option", { value }, text)),
    );
    if ([...this.policy.options].some((option) => option.value === policy)) this.policy.value = policy;
    const allowed = allowedSandboxes(ceiling);
    const sandbox = this.sandbox.value;
    replace(this.sandbox, allowed.map((mode) => h("option", { value: mode }, sandboxes[mode])));
    this.sandbox.value = allowed.includes(sandbox) ? sandbox : allowed[Math.min(1, allowed.length - 1)];
    this.sandboxField.hidden = false;
    replace(
      this.roots,
      ceiling.roots.map((root) =>
        h("button", { type: "button", class: "choice", onclick: () => (this.folder.value = root) }, root),
      ),
    );
    this.limits.textContent =
      "This computer allows at most the " + ceiling.sandbox + " sandbox" +
      (ceiling.networkAccess ? ", with network" : ", without network") +
      (ceiling.roots.length ? ", in the folders above." : ", and no folder.");
  }

  setAccount(result) {
    const loggedOut = result && result.account == null && result.requiresOpenaiAuth;
    replace(
      this.account,
      loggedOut ? ["Codex is not logged in on the computer. Run ", h("code", {}, "codex login"), " there, then come back."] : [],
    );
  }

  setModels(models) {
    replace(this.model, h("option", { value: "" }, "The computer's default"));
    for (const model of models) {
      const id = str(model?.model) || str(model?.id);
      if (!id || model.hidden) continue;
      // "Default model" stays chosen: the computer's own configuration decides unless the user does.
      this.model.append(h("option", { value: id }, str(model.displayName) || id));
    }
  }

  setThreads(threads, error = "") {
    if (error) {
      replace(this.list, h("li", { class: "error" }, error));
      return;
    }
    if (!threads.length) {
      replace(this.list, h("li", { class: "note" }, "No threads yet. Start one with New thread."));
      return;
    }
    if (!this.folder.value && str(threads[0]?.cwd)) this.folder.value = threads[0].cwd;
    replace(
      this.list,
      threads.map((thread) =>
        h(
          "li",
          {},
          h(
            "button",
            { type: "button", class: "thread-row", onclick: () => this.actions.open(thread) },
            h("span", { class: "preview" }, str(thread.name) || str(thread.preview) || "(no messages yet)"),
            h("span", { class: "meta" }, [time(thread.updatedAt ?? thread.createdAt), str(thread.cwd)].filter(Boolean).join(" · ")),
          ),
        ),
      ),
    );
  }
}
