package hbagent;

/**
 * A JSON document that does not read as a business object, or an object
 * that has no JSON form: malformed JSON (with its line and column), an
 * unknown type or attribute, a value of the wrong kind (with the attribute
 * path, such as Orders[1].City), nesting too deep.
 */
public class JsonWireException extends HbAgentException {
    private static final long serialVersionUID = 1L;

    public JsonWireException(String message) { super(message); }
}
