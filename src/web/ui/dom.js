// Building the page from elements and text nodes only: nothing given here is parsed as markup,
// so text from Codex or a device is always shown as text.

// h("button", {class: "primary", onclick}, "Send"): attributes by name, on* as listeners,
// children as nodes or text (null and false are skipped).
export function h(tag, props = {}, ...children) {
  const element = document.createElement(tag);
  for (const [name, value] of Object.entries(props ?? {})) {
    if (value === undefined || value === null || value === false) continue;
    if (name.startsWith("on") && typeof value === "function") {
      element.addEventListener(name.slice(2), value);
    } else if (name === "class") {
      element.className = value;
    } else if (name === "value") {
      element.value = value;
    } else {
      element.setAttribute(name, value === true ? "" : String(value));
    }
  }
  append(element, children);
  return element;
}

export function append(parent, children) {
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    parent.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return parent;
}

export function replace(parent, ...children) {
  parent.replaceChildren();
  return append(parent, children);
}

// A labelled field: <label>text<input></label>, so that the control's accessible name is the text.
export function field(text, control) {
  return h("label", { class: "field" }, h("span", {}, text), control);
}

export function time(seconds) {
  if (!Number.isFinite(seconds)) return "";
  const date = new Date(seconds * 1000);
  const sameDay = date.toDateString() === new Date().toDateString();
  return sameDay
    ? date.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" })
    : date.toLocaleDateString([], { month: "short", day: "numeric", year: "numeric" });
}
